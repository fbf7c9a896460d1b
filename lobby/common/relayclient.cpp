// The relay client over the transport's socket helpers: a non-blocking
// connect bounded by the caller's time-out, then a blocking socket read
// behind bounded waits.
#include "lobby/common/relayclient.h"

#include <errno.h>

#include <chrono>
#include <cstring>

#include "common/src/network/tcpipsocket.h"

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits for fd until the deadline; false on time-out.
bool WaitFor(int fd, TCPIPWaitFor_t what, long long deadline) {
    long long left = deadline - NowMs();
    return left >= 0 && TCPIP_Wait(fd, what, static_cast<int>(left));
}

}  // namespace

bool CRelayClient::Connect(const char* host, int port, int timeoutMs) {
    Close();
    long long deadline = NowMs() + timeoutMs;
    char ip[64];
    if (!TCPIP_Resolve(host, ip, sizeof ip)) return false;
    int fd = TCPIP_Socket();
    if (fd < 0) return false;
    // Non-blocking only while connecting, so the wait is ours to bound.
    bool ok = TCPIP_SetNonBlocking(fd) && TCPIP_Connect(fd, ip, port, nullptr) &&
              WaitFor(fd, TCPIP_WAIT_WRITE, deadline);
    int result = 0;
    ok = ok && TCPIP_SocketError(fd, &result) == 0 && result == 0 && TCPIP_SetBlocking(fd);
    if (!ok) {
        TCPIP_Close(fd);
        return false;
    }
    TCPIP_SetNoDelay(fd);
    m_Socket = fd;
    return true;
}

void CRelayClient::Close() {
    if (m_Socket >= 0) TCPIP_Close(m_Socket);
    m_Socket = -1;
}

bool CRelayClient::SendAll(const void* data, int length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0 && m_Socket >= 0) {
        ssize_t n = TCPIP_Send(m_Socket, p, static_cast<size_t>(length), nullptr);
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
        if (m_Socket < 0 || !WaitFor(m_Socket, TCPIP_WAIT_READ, deadline)) return false;
        int error = 0;
        ssize_t n = TCPIP_Recv(m_Socket, p, static_cast<size_t>(length), &error);
        if (n < 0 && error == EAGAIN) continue;
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
    while (m_Socket >= 0 && WaitFor(m_Socket, TCPIP_WAIT_READ, deadline)) {
        int error = 0;
        ssize_t n = TCPIP_Recv(m_Socket, sink, sizeof sink, &error);
        if (n == 0 || (n < 0 && error != EAGAIN)) return true;
    }
    return false;
}
