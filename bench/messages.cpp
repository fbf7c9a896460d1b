// bench_messages: the message layer one way between two endpoints over
// loopback, in one process: two CTCPIPConnectionManager, each with a
// CMessageManager, one Host()ing and one Connect()ing, a pump thread per side
// calling the connection manager's Dispatch() (which delivers hooked
// messages), the receiver hooking the type and counting. For bodies of 64 B,
// 1 KiB, 64 KiB and 1 MiB it prints messages/s and MB/s (body bytes, 10^6 per
// second) beside, in the same run:
//   - raw TCP: one loopback connection carrying the same bytes (24 + padded
//     body per message), written in batches of up to 64 KiB;
//   - the cipher and CRC work alone on the same bytes, one thread: encipher
//     and checksum as the sender does, decipher and verify as the receiver
//     does, per message;
// and the ratios layer/raw TCP and layer/cipher+CRC. The cpu columns are the
// process's CPU seconds per second (the layer can keep two cores busy: the
// sender enciphers while the receiver's socket thread deciphers); "others"
// is what the rest of the machine used meanwhile (a shared machine's
// neighbours lower the figures). The sender
// keeps at most a window of messages in flight (counted at the receiver).
// Each figure is the median of three runs of about one second, the paths
// taken in turns.
//
// Usage: bench_messages                 the table
//        bench_messages --layer SIZE [S] only the layer at one body size, for
//                                       S seconds (default 5), for profiling
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/benchutil.h"
#include "common/src/cbase.h"
#include "common/src/crypto/icekey.h"
#include "common/src/crypto/ihash.h"
#include "common/src/network/messagemanager.h"
#include "common/src/network/remotebuffer.h"
#include "common/src/network/rmimanager.h"
#include "common/src/network/tcpipconnectionmanager.h"
#include "common/src/osutils.h"

namespace {

using namespace bench;

const double kRunSeconds = 1.0;
const int kRounds = 3;
const unsigned int kPacketSize = 65536;  // each manager's send block
const DWORD kType = 0x00000100;          // an application type
const long long kWindowBytes = 4 << 20;  // wire bytes in flight at most (but 4 messages at least)
const int kStallMs = 5000;               // a receiver silent this long ends the run, marked incomplete
const int kSizes[] = {64, 1024, 65536, 1 << 20};

long long WireBytes(int size) { return 24 + ((size + 7) & ~7); }
long long WindowMessages(int size) { return std::max(4LL, kWindowBytes / WireBytes(size)); }

// Busy time of the whole machine (every process), from /proc/stat; 0 when
// it cannot be read.
double MachineBusySeconds() {
    FILE* f = fopen("/proc/stat", "r");
    if (!f) return 0;
    unsigned long long v[8] = {0};
    int n = fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                   &v[7]);
    fclose(f);
    if (n < 8) return 0;
    return static_cast<double>(v[0] + v[1] + v[2] + v[5] + v[6] + v[7]) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double CpuSeconds() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct Result {
    double msgs;  // messages per second
    double mbps;  // body MB per second
    double cpu;     // process CPU seconds per second (cores busy)
    double others;  // cores other processes kept busy meanwhile
    bool complete;
};

// Messages counted at the receiver; the sender waits here for room in its
// window. The receiving side calls Arrived once per batch, not per message.
class CWindow {
public:
    void Arrived(long long total) {
        // The time first: whoever sees the count sees when it arrived.
        m_LastArrival.store(Clock::now().time_since_epoch().count());
        m_Received.store(total);
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bWaiting) m_Cond.notify_one();
    }
    long long Received() const { return m_Received.load(); }
    Clock::time_point LastArrival() const { return Clock::time_point(Clock::duration(m_LastArrival.load())); }
    // Until fewer than limit of sent are outstanding; false when the
    // receiver made no progress for kStallMs.
    bool WaitUntil(long long sent, long long limit) {
        if (sent - m_Received.load() < limit) return true;
        std::unique_lock<std::mutex> lock(m_Mutex);
        auto deadline = Clock::now() + std::chrono::milliseconds(kStallMs);
        long long seen = m_Received.load();
        m_bWaiting = true;
        while (sent - m_Received.load() >= limit) {
            m_Cond.wait_for(lock, std::chrono::milliseconds(1));
            if (m_Received.load() != seen) {
                seen = m_Received.load();
                deadline = Clock::now() + std::chrono::milliseconds(kStallMs);
            } else if (Clock::now() > deadline) {
                m_bWaiting = false;
                return false;
            }
        }
        m_bWaiting = false;
        return true;
    }

private:
    std::atomic<long long> m_Received{0};
    std::atomic<Clock::rep> m_LastArrival{Clock::now().time_since_epoch().count()};
    std::mutex m_Mutex;
    std::condition_variable m_Cond;
    bool m_bWaiting = false;
};

// The receiver's hook: counts (on the receiver's pump thread).
class CCounter : public IMessageManagerCallback {
public:
    explicit CCounter(int size) : m_Size(size) {}
    void ReceivedMessage(HConnection, CMessage& message) override {
        if (message.Length() != m_Size || message.GetType() != kType) m_Wrong++;
        m_Count++;
    }
    void PingResult(HConnection, unsigned int) override {}
    long long Count() const { return m_Count.load(); }
    long long Wrong() const { return m_Wrong.load(); }

private:
    int m_Size;
    std::atomic<long long> m_Count{0};
    std::atomic<long long> m_Wrong{0};
};

// Sends for `seconds` (after a warm-up round), then waits for the rest.
// send(n) puts the next n messages on their way and returns how many it sent.
template <class SendFn>
Result Drive(int size, double seconds, CWindow& window, SendFn send, int batch) {
    long long limit = WindowMessages(size);
    long long sent = send(std::min<long long>(limit, 16));
    if (!window.WaitUntil(sent, 1)) return {0, 0, 0, 0, false};
    long long base = sent;
    double cpu0 = CpuSeconds(), machine0 = MachineBusySeconds();
    auto start = Clock::now();
    auto stopAt = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    bool complete = true;
    // The clock is read about every 64 KiB of wire bytes, not per message.
    long long perCheck = std::max(1LL, 65536 / (WireBytes(size) * batch));
    for (long long round = 0; round % perCheck != 0 || Clock::now() < stopAt; round++) {
        if (!window.WaitUntil(sent + batch - 1, limit)) {
            complete = false;
            break;
        }
        sent += send(batch);
    }
    if (complete) complete = window.WaitUntil(sent, 1);
    double elapsed = Seconds(start, window.LastArrival());
    double wall = Seconds(start, Clock::now());
    double cpu = (CpuSeconds() - cpu0) / wall;
    double others = std::max(0.0, (MachineBusySeconds() - machine0) / wall - cpu);
    double messages = static_cast<double>(window.Received() - base);
    return {messages / elapsed, messages * size / elapsed / 1e6, cpu, others, complete};
}

// The layer: two managers, a pump per side; the sender is the calling thread.
Result MeasureLayer(int size, double seconds) {
    CTCPIPConnectionManager cmA(8), cmB(8);
    cmA.Init();
    cmB.Init();
    int port = cmB.Host(0);
    if (port == 0) Die("Host");
    CMessageManager* pReceiver = new CMessageManager(&cmB, false, false, kPacketSize);
    CMessageManager* pSender = new CMessageManager(&cmA, false, false, kPacketSize);
    CCounter counter(size);
    pReceiver->HookMessage(kType, &counter);
    CWindow window;
    std::atomic<bool> stop{false};
    // The receiver's pump delivers what its socket thread queued; it sleeps
    // briefly only when a pass delivered nothing.
    std::thread pumpB([&] {
        long long last = 0;
        while (!stop) {
            cmB.Dispatch();
            long long n = counter.Count();
            if (n != last) {
                last = n;
                window.Arrived(n);
            } else {
                usleep(100);
            }
        }
    });
    std::thread pumpA([&] {
        while (!stop) {
            cmA.Dispatch();
            usleep(1000);
        }
    });
    HConnection h = cmA.Connect("127.0.0.1", port, true);
    for (int waited = 0; pSender->GetStatus(h) != STATUS_CONNECTED; waited++) {
        if (waited > 5000) Die("no handshake within 5 s");
        usleep(1000);
    }
    CMessage msg(kType, static_cast<DWORD>(size));
    std::string body(static_cast<size_t>(size), '\0');
    for (int i = 0; i < size; i++) body[static_cast<size_t>(i)] = static_cast<char>(i * 7 + 1);
    msg.WriteData(body.data(), size);
    Result r = Drive(size, seconds, window, [&](long long n) {
        for (long long i = 0; i < n; i++) pSender->SendMessage(h, msg);
        return n;
    }, 1);
    if (counter.Wrong() != 0) Die("messages arrived changed");
    stop = true;
    pumpA.join();
    pumpB.join();
    delete pSender;
    delete pReceiver;
    cmA.Shutdown();
    cmB.Shutdown();
    return r;
}

// Raw TCP: the same wire bytes per message, batched into writes of up to
// 64 KiB, read with a 256 KiB buffer.
Result MeasureRawTcp(int size) {
    Listener l = Listen(1);
    int out = ConnectTo(l.port);
    int in = AcceptWithin(l.fd, 5000);
    if (in < 0) Die("accept");
    close(l.fd);
    long long wire = WireBytes(size);
    int batch = static_cast<int>(std::max(1LL, 65536 / wire));
    std::string bytes(static_cast<size_t>(wire * batch), 'm');
    CWindow window;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::vector<char> buf(256 * 1024);
        long long total = 0;
        while (!done) {
            pollfd pfd = {in, POLLIN, 0};
            if (poll(&pfd, 1, 100) <= 0) continue;
            ssize_t r = recv(in, buf.data(), buf.size(), 0);
            if (r <= 0) break;
            total += r;
            window.Arrived(total / wire);
        }
    });
    Result r = Drive(size, kRunSeconds, window, [&](long long n) {
        for (long long i = 0; i < n; i += batch) {
            long long k = std::min<long long>(batch, n - i);
            WriteAll(out, bytes.data(), static_cast<size_t>(k * wire));
        }
        return n;
    }, batch);
    done = true;
    reader.join();
    close(out);
    close(in);
    return r;
}

// The cipher and checksum work of one message on both sides, as the layer
// does it, on one thread.
Result MeasureCipherCrc(int size) {
    BYTE key[8] = {0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB, 0xED, 0x0F};
    CIceKey cipher;
    cipher.SetKey(key);
    int padded = (size + 7) & ~7;
    std::vector<unsigned char> body(static_cast<size_t>(padded), 0x5A), block(24 + static_cast<size_t>(padded));
    long long messages = 0, wrong = 0;
    double cpu0 = CpuSeconds();
    auto start = Clock::now();
    auto stopAt = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kRunSeconds));
    while (Clock::now() < stopAt) {
        for (int k = 0; k < 16; k++, messages++) {
            // Sender: crcBody over the header and the padded body, then
            // crcHeader; both enciphered into one block.
            MMHeader_t h = {0, static_cast<DWORD>(size), 0, kType, 0x1234, static_cast<DWORD>(messages)};
            HPartialHash hCrc = g_pCRC->Start();
            g_pCRC->Append(hCrc, &h, 24);
            g_pCRC->Append(hCrc, body.data(), padded);
            g_pCRC->Finish(hCrc, &h.crcBody);
            g_pCRC->Hash(&h, 24, &h.crcHeader);
            cipher.Encrypt(reinterpret_cast<unsigned char*>(&h), block.data(), 24);
            cipher.Encrypt(body.data(), block.data() + 24, padded);
            // Receiver: decipher in place, verify both checksums.
            cipher.Decrypt(block.data(), 24 + padded);
            MMHeader_t got;
            memcpy(&got, block.data(), 24);
            DWORD crcHeader = got.crcHeader, crcBody = got.crcBody, crc;
            got.crcHeader = 0;
            g_pCRC->Hash(&got, 24, &crc);
            if (crc != crcHeader) wrong++;
            got.crcBody = 0;
            hCrc = g_pCRC->Start();
            g_pCRC->Append(hCrc, &got, 24);
            g_pCRC->Append(hCrc, block.data() + 24, padded);
            g_pCRC->Finish(hCrc, &crc);
            if (crc != crcBody) wrong++;
        }
    }
    double elapsed = Seconds(start, Clock::now());
    if (wrong != 0) Die("cipher and CRC round trip");
    return {messages / elapsed, static_cast<double>(messages) * size / elapsed / 1e6,
            (CpuSeconds() - cpu0) / elapsed, 0, true};
}

Result Median(std::vector<Result> runs) {
    std::sort(runs.begin(), runs.end(), [](const Result& a, const Result& b) { return a.msgs < b.msgs; });
    Result m = runs[runs.size() / 2];
    for (const Result& r : runs) m.complete = m.complete && r.complete;
    return m;
}

std::string SizeText(int size) {
    if (size >= (1 << 20)) return std::to_string(size >> 20) + " MiB";
    if (size >= 1024) return std::to_string(size >> 10) + " KiB";
    return std::to_string(size) + " B";
}

void Table() {
    // Figures move with what else the machine runs: say how busy it was.
    double load[1] = {-1};
    getloadavg(load, 1);
    printf("load average %.2f on %ld cores at the start; ", load[0], sysconf(_SC_NPROCESSORS_ONLN));
    printf("one way over loopback, packet size %u, at most %lld wire bytes (4 messages at least) in "
           "flight;\neach figure the median of %d runs of %.0f s, layer, raw TCP and cipher+CRC taken in turns; "
           "MB/s counts body bytes\n",
           kPacketSize, kWindowBytes, kRounds, kRunSeconds);
    printf("%-7s | %10s %9s %5s %6s | %10s %9s %5s | %10s %9s | %9s %9s\n", "body", "layer msg/s", "MB/s", "cpu",
           "others", "raw msg/s", "MB/s", "cpu", "c+CRC msg/s", "MB/s", "layer/raw", "layer/c+CRC");
    Result small = {0, 0, 0, 0, true}, large = small, largeCipher = small;
    for (int size : kSizes) {
        std::vector<Result> layer, raw, cipher;
        for (int round = 0; round < kRounds; round++) {
            layer.push_back(MeasureLayer(size, kRunSeconds));
            raw.push_back(MeasureRawTcp(size));
            cipher.push_back(MeasureCipherCrc(size));
        }
        Result l = Median(layer), r = Median(raw), c = Median(cipher);
        printf("%-7s | %11.0f %9.1f %5.2f %6.2f | %10.0f %9.1f %5.2f | %11.0f %9.1f | %9.3f %11.3f%s\n",
               SizeText(size).c_str(), l.msgs, l.mbps, l.cpu, l.others, r.msgs, r.mbps, r.cpu, c.msgs, c.mbps,
               l.msgs / r.msgs, l.msgs / c.msgs, l.complete && r.complete ? "" : "  (a run stalled!)");
        fflush(stdout);
        if (size == kSizes[0]) small = l;
        if (size == (1 << 20)) {
            large = l;
            largeCipher = c;
        }
    }
    printf("goals: 64 B at least 250000 msg/s one way: %.0f (%s); 1 MiB at least 0.8 of cipher+CRC alone: %.3f (%s)\n",
           small.msgs, small.msgs >= 250000 ? "met" : "not met", large.msgs / largeCipher.msgs,
           large.msgs >= 0.8 * largeCipher.msgs ? "met" : "not met");
}

// --- remote buffers --------------------------------------------------------

double WallNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One end of a remote-object connection. The RMI layer is single-threaded:
// everything it does runs on this side's pump thread, handed over as tasks.
class CSide : public IConnectionManagerListener, public IRemoteBufferCallback {
public:
    CSide() : cm(8) {
        cm.Init();
        cm.AddListener(this, false);
        mm = new CMessageManager(&cm, false, false, kPacketSize);
        rmi = new CRMIManager(mm, nullptr);
        pump = std::thread([this] {
            while (!stop) {
                std::vector<std::function<void()>> work;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    work.swap(tasks);
                }
                for (auto& task : work) task();
                cm.Dispatch();
                usleep(200);
            }
        });
    }
    ~CSide() {
        Run([this] {
            delete rmi;
            delete mm;
        });
        stop = true;
        pump.join();
        cm.RemoveListener(this);
        cm.Shutdown();
    }
    // Runs task on the pump thread and waits for it.
    void Run(const std::function<void()>& task) {
        std::atomic<bool> done{false};
        {
            std::lock_guard<std::mutex> lock(mutex);
            tasks.push_back([&] {
                task();
                done = true;
            });
        }
        while (!done) usleep(100);
    }
    void ClientConnect(HConnection h) override { hPeer = h; }
    void ClientDisconnect(HConnection, bool, int) override {}
    void RemoteBufferStart(CRemoteBuffer*, DWORD, DWORD) override {}
    void RemoteBufferState(CRemoteBuffer*, RBState_t state) override {
        if (state == RB_RECEIVED) doneAt = WallNow();
    }
    void RemoteBufferProgress(CRemoteBuffer*, DWORD count, DWORD) override {
        received = count;
        if (WallNow() <= deadline) receivedByDeadline = count;
    }

    CTCPIPConnectionManager cm;
    CMessageManager* mm;
    CRMIManager* rmi;
    std::atomic<HConnection> hPeer{nullptr};
    std::atomic<double> doneAt{0}, deadline{1e300};
    std::atomic<DWORD> received{0}, receivedByDeadline{0};
    std::mutex mutex;
    std::vector<std::function<void()>> tasks;
    std::atomic<bool> stop{false};
    std::thread pump;
};

// Two sides connected over loopback, with the handshake done.
struct CPair {
    CSide a, b;
    HConnection h = nullptr;
    CPair() {
        int port = b.cm.Host(0);
        if (port == 0) Die("Host");
        h = a.cm.Connect("127.0.0.1", port, true);
        for (int waited = 0;
             !b.hPeer || a.mm->GetStatus(h) != STATUS_CONNECTED || b.mm->GetStatus(b.hPeer) != STATUS_CONNECTED;
             waited++) {
            if (waited > 5000) Die("no handshake within 5 s");
            usleep(1000);
        }
    }
};

std::string TestBytes(int total) {
    std::string bytes(static_cast<size_t>(total), '\0');
    for (int i = 0; i < total; i++) bytes[static_cast<size_t>(i)] = static_cast<char>(i * 13 + 5);
    return bytes;
}

// Seconds for one transfer of bytes from A's local buffer to B's remote
// buffer at rate (0: unthrottled), or the bytes B had after deadlineSeconds
// when that is given.
struct Transfer_t {
    double seconds;
    DWORD receivedByDeadline;
};
Transfer_t RemoteBufferTransfer(CPair& pair, const std::string& bytes, int rate, double deadlineSeconds) {
    CSide &a = pair.a, &b = pair.b;
    int total = static_cast<int>(bytes.size());
    b.doneAt = 0;
    b.received = 0;
    b.receivedByDeadline = 0;
    CRemoteBuffer* pLocal = new CRemoteBuffer(60);
    CBuffer data;
    data.WriteData(bytes.data(), total);
    DWORD id = 0;
    a.Run([&] {
        a.rmi->AddRemoteBuffer(pair.h, pLocal);
        pLocal->SetBuffer(data);
        id = pLocal->GetID();
    });
    CRemoteBuffer* pRemote = nullptr;
    b.Run([&] {
        pRemote = b.rmi->CreateRemoteBuffer(b.hPeer, id);
        pRemote->SetTimeout(120);
        pRemote->SetCallback(&b);
    });
    double start = WallNow();
    b.deadline = deadlineSeconds > 0 ? start + deadlineSeconds : 1e300;
    a.Run([&] { pLocal->Transmit(rate); });
    if (deadlineSeconds > 0) {
        while (WallNow() < start + deadlineSeconds + 0.2) usleep(10000);
    } else {
        while (b.doneAt == 0) {
            if (WallNow() > start + 60) Die("remote-buffer transfer stalled");
            usleep(200);
        }
    }
    Transfer_t r{b.doneAt - start, b.receivedByDeadline};
    b.Run([&] {
        if (deadlineSeconds <= 0 && memcmp(pRemote->GetBuffer()->Data(), bytes.data(), bytes.size()) != 0) {
            Die("remote-buffer transfer arrived changed");
        }
        delete pRemote;
    });
    a.Run([&] { delete pLocal; });
    return r;
}

// The message layer's own time for the messages such a transfer consists of
// (built beforehand, as the buffer is).
double LayerTransfer(CPair& pair, CCounter& counter, int total) {
    std::vector<int> sizes;
    for (int left = total, first = 1; left > 0 || first; first = 0) {
        int chunk = std::min(left, RB_MAX_CHUNK);
        sizes.push_back(12 + (first ? 4 : 0) + chunk);
        left -= chunk;
    }
    std::vector<CMessage> messages;
    for (int size : sizes) {
        messages.emplace_back(kType, static_cast<DWORD>(size));
        std::string body(static_cast<size_t>(size), 'x');
        messages.back().WriteData(body.data(), size);
    }
    long long expected = counter.Count() + static_cast<long long>(messages.size());
    double start = WallNow();
    pair.a.Run([&] {
        for (CMessage& m : messages) pair.a.mm->SendMessage(pair.h, m);
    });
    while (counter.Count() < expected) {
        if (WallNow() > start + 60) Die("message transfer stalled");
        usleep(200);
    }
    return WallNow() - start;
}

void RemoteBuffers() {
    // One connection carries every transfer. Each round times four transfers
    // of each kind, in the order ABBA ABBA so that drift in the shared
    // machine's load falls on both; the rounds' medians are compared.
    const int total = 25000000, rounds = 5;
    std::string bytes = TestBytes(total);
    CPair pair;
    CCounter counter(-1);
    pair.b.mm->HookMessage(kType, &counter);
    std::vector<double> rb, layer;
    for (int round = 0; round < rounds; round++) {
        double rbSeconds = 0, layerSeconds = 0;
        for (int i = 0; i < 2; i++) {
            rbSeconds += RemoteBufferTransfer(pair, bytes, 0, 0).seconds;
            layerSeconds += LayerTransfer(pair, counter, total);
            layerSeconds += LayerTransfer(pair, counter, total);
            rbSeconds += RemoteBufferTransfer(pair, bytes, 0, 0).seconds;
        }
        rb.push_back(rbSeconds);
        layer.push_back(layerSeconds);
    }
    std::sort(rb.begin(), rb.end());
    std::sort(layer.begin(), layer.end());
    double rbRate = 4.0 * total / rb[rb.size() / 2] / 1e6, layerRate = 4.0 * total / layer[layer.size() / 2] / 1e6;
    double spread = layer.back() / layer.front();
    printf("remote buffer, 25000000 bytes unthrottled: %.1f MB/s; the same messages on the message layer: %.1f MB/s; "
           "ratio %.3f (goal at least 0.95: %s; median of %d rounds of 4 each, the layer's rounds spread %.2fx)\n",
           rbRate, layerRate, rbRate / layerRate, rbRate >= 0.95 * layerRate ? "met" : "not met", rounds, spread);
    Transfer_t throttled = RemoteBufferTransfer(pair, TestBytes(2000000), 100000, 5.0);
    double ratio = throttled.receivedByDeadline / 500000.0;
    printf("remote buffer at 100000 bytes/s: %u bytes arrived within 5 s, %.3f of the target 500000 (goal within 2%%: "
           "%s)\n",
           static_cast<unsigned>(throttled.receivedByDeadline), ratio, ratio >= 0.98 && ratio <= 1.02 ? "met" : "not met");
}

}  // namespace

int main(int argc, char** argv) {
    Log_SetLevel(-1);
    OS_Init(nullptr);
    CleanUpOnStopSignals();
    if (argc >= 3 && strcmp(argv[1], "--layer") == 0) {
        int size = atoi(argv[2]);
        double seconds = argc >= 4 ? atof(argv[3]) : 5.0;
        if (size < 0 || size > static_cast<int>(MM_MAX_MESSAGE_SIZE) || seconds <= 0) Die("usage");
        Result r = MeasureLayer(size, seconds);
        printf("layer, %d-byte bodies, %.1f s: %.0f msg/s, %.1f MB/s, %.2f cores busy (other processes %.2f)%s\n",
               size, seconds, r.msgs, r.mbps, r.cpu, r.others, r.complete ? "" : " (stalled!)");
        return r.complete ? 0 : 1;
    }
    if (argc >= 2 && strcmp(argv[1], "--remote-buffers") == 0) {
        RemoteBuffers();
        return 0;
    }
    Table();
    RemoteBuffers();
    return 0;
}
