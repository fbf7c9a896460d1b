#include "lobby/common/relayclient.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits for events on fd until the deadline; false on time-out or error.
bool WaitFor(int fd, short events, long long deadline) {
    for (;;) {
        long long left = deadline - NowMs();
        if (left < 0) return false;
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

}  // namespace

bool CRelayClient::Connect(const char* host, int port, int timeoutMs) {
    Close();
    long long deadline = NowMs() + timeoutMs;
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* result = nullptr;
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    if (getaddrinfo(host, service, &hints, &result) != 0 || !result) return false;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = fd >= 0;
    if (ok) {
        int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        int r = connect(fd, result->ai_addr, result->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            ok = WaitFor(fd, POLLOUT, deadline);
            int error = 0;
            socklen_t len = sizeof error;
            ok = ok && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
        } else {
            ok = r == 0;
        }
        fcntl(fd, F_SETFL, flags);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    freeaddrinfo(result);
    if (!ok) {
        if (fd >= 0) close(fd);
        return false;
    }
    m_Socket = fd;
    return true;
}

void CRelayClient::Close() {
    if (m_Socket >= 0) close(m_Socket);
    m_Socket = -1;
}

bool CRelayClient::SendAll(const void* data, int length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0 && m_Socket >= 0) {
        ssize_t n = send(m_Socket, p, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<int>(n);
    }
    return length == 0;
}

bool CRelayClient::SendPacket(int uid, int type, const void* payload, int length) {
    CBuffer packet;
    packet.WriteInt(kProxyHeaderSize + length);
    packet.WriteInt(uid);
    packet.WriteInt(type);
    packet.WriteData(payload, length);
    return SendAll(packet.Data(), packet.Length());
}

bool CRelayClient::ReadExact(void* data, int length, int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    char* p = static_cast<char*>(data);
    while (length > 0) {
        if (m_Socket < 0 || !WaitFor(m_Socket, POLLIN, deadline)) return false;
        ssize_t n = recv(m_Socket, p, static_cast<size_t>(length), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<int>(n);
    }
    return true;
}

bool CRelayClient::ReadPacket(CBuffer& packet, int timeoutMs) {
    packet.Empty();
    long long deadline = NowMs() + timeoutMs;
    ProxyHeader_t header;
    if (!ReadExact(&header, sizeof header, timeoutMs)) return false;
    if (header.size < kProxyMinPacket || header.size > kProxyMaxPacket) return false;
    packet.WriteData(&header, sizeof header);
    int rest = header.size - kProxyHeaderSize;
    if (rest == 0) return true;
    int left = static_cast<int>(deadline - NowMs());
    return ReadExact(packet.LazyWrite(rest), rest, left > 0 ? left : 0);
}

int CRelayClient::Register(int timeoutMs) {
    ProxyAuth_t request = {{16, 0, PH_TYPE_REGISTER}, 0};
    if (!SendAll(&request, sizeof request)) return 0;
    CBuffer reply;
    if (!ReadPacket(reply, timeoutMs) || reply.Length() != 16) return 0;
    ProxyAuth_t answer;
    memcpy(&answer, reply.Data(), sizeof answer);
    return answer.header.type == PH_TYPE_REGISTER ? answer.header.uid : 0;
}

bool CRelayClient::WaitClosed(int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    char sink[4096];
    while (m_Socket >= 0 && WaitFor(m_Socket, POLLIN, deadline)) {
        ssize_t n = recv(m_Socket, sink, sizeof sink, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
    return false;
}
