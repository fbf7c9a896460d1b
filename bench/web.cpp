// bench_web: static files over HTTP/1.1 keep-alive, measured by wrk (16
// connections, 2 threads) against a small server of ours (this program run
// with --serve ROOT: one CWebServer whose owner loop waits in Dispatch(100))
// and against nginx (one worker process, access log off, sendfile on, the
// same root), both on loopback ports and both started and stopped here, in
// the same run. Rows: a 1 KiB and a 1 MiB file; requests/s, p50 and p99
// latency, and ours/nginx. Without wrk nothing is measured; without nginx
// its columns say so.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/benchutil.h"
#include "common/src/network/webserver.h"
#include "common/src/osutils.h"

using namespace bench;

namespace {

const int kSeconds = 8;

// Serves every target as a file of the root.
class FileApp : public IWebServerCallback {
public:
    int WebRequest(const CString&, const CAssocArray<CString, CString>&, const CAssocArray<CString, CString>&) override {
        return WEB_FILE;
    }
};

std::atomic<bool> g_Stop{false};
void OnTerm(int) { g_Stop = true; }

int Serve(const char* root) {
    OS_Init(nullptr);
    signal(SIGTERM, OnTerm);
    FileApp app;
    CWebServer server;
    int port = server.Init(&app, 0, root);
    if (port == 0) return 1;
    printf("port %d\n", port);
    fflush(stdout);
    while (!g_Stop) server.Dispatch(100);
    server.Shutdown();
    OS_DeInit();
    return 0;
}

struct Result {
    bool ok = false;
    double rps = 0, p50 = 0, p99 = 0;  // latencies in ms
};

// wrk's "1.23ms" / "456.00us" / "1.01s" as ms.
double Ms(const std::string& text) {
    double v = atof(text.c_str());
    if (text.find("us") != std::string::npos) return v / 1000;
    if (text.find("ms") != std::string::npos) return v;
    if (text.find("s") != std::string::npos) return v * 1000;
    return v;
}

Result Wrk(const std::string& wrk, const std::string& dir, int port, const std::string& path) {
    std::string out = dir + "/wrk.txt";
    std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
    pid_t pid = Spawn(dir, {wrk, "-t2", "-c16", "-d" + std::to_string(kSeconds) + "s", "--latency", url}, out);
    waitpid(pid, nullptr, 0);
    Forget(OwnedResources().pids, pid);
    Result r;
    std::ifstream in(out);
    std::string line;
    bool errors = false;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first, second;
        words >> first >> second;
        if (first == "Requests/sec:") r.rps = atof(second.c_str());
        if (first == "50%") r.p50 = Ms(second);
        if (first == "99%") r.p99 = Ms(second);
        if (first == "Non-2xx" || first == "Socket") errors = true;
    }
    r.ok = r.rps > 0 && !errors;
    if (errors) fprintf(stderr, "bench_web: wrk reported errors for %s (see below)\n", url.c_str());
    if (errors) system(("cat '" + out + "' >&2").c_str());
    return r;
}

// Waits for "port N" in a child's output file.
int PortFrom(const std::string& path, pid_t pid) {
    for (int waited = 0; waited < 10000 && !Exited(pid); waited += 20) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            if (line.compare(0, 5, "port ") == 0) return atoi(line.c_str() + 5);
        }
        usleep(20000);
    }
    return 0;
}

// A loopback port free a moment ago.
int FreePort() {
    Listener l = Listen(1);
    int port = l.port;
    close(l.fd);
    return port;
}

bool Answers(int port) {
    for (int i = 0; i < 100; i++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = Loopback(port);
        bool up = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        close(fd);
        if (up) return true;
        usleep(50000);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--serve") return Serve(argv[2]);
    CleanUpOnStopSignals();
    signal(SIGPIPE, SIG_IGN);
    std::string wrk = FindOnPath("wrk");
    if (wrk.empty()) {
        printf("bench_web: wrk not installed, nothing measured\n");
        return 0;
    }
    std::string dir = MakeScratchDir("natbridge-bench-web");
    // nginx's worker runs as an unprivileged user: the root must be readable.
    chmod(dir.c_str(), 0755);
    std::string root = dir + "/root";
    mkdir(root.c_str(), 0755);
    const std::pair<const char*, int> files[] = {{"/1k.bin", 1024}, {"/1m.bin", 1048576}};
    for (const auto& f : files) {
        std::string bytes(f.second, 0);
        for (int i = 0; i < f.second; i++) bytes[i] = static_cast<char>('a' + i % 26);
        std::ofstream(root + f.first, std::ios::binary) << bytes;
    }

    // Ours: this program as a server.
    pid_t ours = Spawn(dir, {"/proc/self/exe", "--serve", root}, dir + "/ours.txt");
    int ourPort = PortFrom(dir + "/ours.txt", ours);
    if (ourPort == 0) Die("our server did not start");

    // nginx, one worker, no access log.
    std::string nginx = FindOnPath("nginx");
    if (nginx.empty() && access("/usr/sbin/nginx", X_OK) == 0) nginx = "/usr/sbin/nginx";
    pid_t theirs = -1;
    int nginxPort = 0;
    std::string nginxStatus = "nginx: not installed";
    if (!nginx.empty()) {
        nginxPort = FreePort();
        std::ofstream(dir + "/nginx.conf")
            << "daemon off;\nmaster_process on;\nworker_processes 1;\npid " << dir << "/nginx.pid;\n"
            << "error_log " << dir << "/nginx-error.log;\n"
            << "events { worker_connections 1024; }\n"
            << "http {\n  access_log off;\n  sendfile on;\n  tcp_nopush on;\n  keepalive_requests 100000000;\n"
            << "  default_type application/octet-stream;\n"
            << "  client_body_temp_path " << dir << "/tmp; proxy_temp_path " << dir << "/tmp;\n"
            << "  fastcgi_temp_path " << dir << "/tmp; uwsgi_temp_path " << dir << "/tmp; scgi_temp_path " << dir
            << "/tmp;\n"
            << "  server {\n    listen 127.0.0.1:" << nginxPort << ";\n    root " << root << ";\n  }\n}\n";
        mkdir((dir + "/tmp").c_str(), 0700);
        theirs = Spawn(dir, {nginx, "-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/nginx-error.log"},
                       dir + "/nginx.txt");
        if (Answers(nginxPort) && !Exited(theirs)) {
            nginxStatus = "nginx (1 worker)";
        } else {
            nginxStatus = "nginx: did not start (" + FirstLine(dir + "/nginx-error.log") + ")";
            Stop(theirs, SIGTERM, 2000);
            theirs = -1;
        }
    }

    printf("wrk: 2 threads, 16 keep-alive connections, %d s per figure; ours (CWebServer) and %s\n", kSeconds,
           nginxStatus.c_str());
    printf("%-6s %12s %9s %9s | %12s %9s %9s | %9s\n", "file", "ours req/s", "p50 ms", "p99 ms", "nginx req/s",
           "p50 ms", "p99 ms", "ours/nginx");
    const double goals[] = {1.0, 0.8};
    int row = 0;
    for (const auto& f : files) {
        Result o = Wrk(wrk, dir, ourPort, f.first);
        Result n = theirs > 0 ? Wrk(wrk, dir, nginxPort, f.first) : Result();
        printf("%-6s %12.0f %9.3f %9.3f | ", f.first + 1, o.rps, o.p50, o.p99);
        if (n.ok) {
            printf("%12.0f %9.3f %9.3f | %9.2f (goal >= %.1f)\n", n.rps, n.p50, n.p99, o.rps / n.rps, goals[row]);
        } else {
            printf("%12s %9s %9s | %9s\n", "-", "-", "-", "-");
        }
        if (!o.ok) printf("  (our run reported errors)\n");
        row++;
    }
    fflush(stdout);
    Stop(ours, SIGTERM, 3000);
    if (theirs > 0) Stop(theirs, SIGQUIT, 3000);
    RemoveTree(dir);
    Forget(OwnedResources().dirs, dir);
    return 0;
}
