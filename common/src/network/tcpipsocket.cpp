// The socket calls of the transport. EINTR is retried here and nowhere else
// (close excepted: on Linux the descriptor is gone even when close reports
// EINTR, and a retry could close a number someone else just got).
#include "common/src/network/tcpipsocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

// The system's largest backlog: a storm of reconnecting clients waits in
// the kernel instead of being refused or left to retry.
const int LISTEN_BACKLOG = SOMAXCONN;

void SetError(int* pError, int error) {
    if (pError) *pError = error;
}

bool SetFlag(int fd, int flag, bool on) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    int wanted = on ? (flags | flag) : (flags & ~flag);
    return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

struct sockaddr_in AnyAddress(int port) {
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

}  // namespace

int TCPIP_Socket(int* pError) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    SetError(pError, fd < 0 ? errno : 0);
    return fd;
}

int TCPIP_Listen(int port, int* pPort, const char* ip) {
    struct sockaddr_in addr = AnyAddress(port);
    if (ip && *ip && inet_pton(AF_INET, ip, &addr.sin_addr) != 1) return -1;
    int fd = TCPIP_Socket();
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (!TCPIP_SetNonBlocking(fd) || bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        TCPIP_Close(fd);
        return -1;
    }
    if (port == 0) {
        socklen_t len = sizeof(addr);
        if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
            TCPIP_Close(fd);
            return -1;
        }
        port = ntohs(addr.sin_port);
    }
    if (listen(fd, LISTEN_BACKLOG) != 0) {
        TCPIP_Close(fd);
        return -1;
    }
    *pPort = port;
    return fd;
}

int TCPIP_Accept(int listener, TCPIPPeer_t* pPeer, int* pError) {
    struct sockaddr_in addr;
    int fd;
    do {
        socklen_t len = sizeof(addr);
        fd = accept4(listener, reinterpret_cast<struct sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        SetError(pError, errno);
        return -1;
    }
    SetError(pError, 0);
    const unsigned char* ip = reinterpret_cast<const unsigned char*>(&addr.sin_addr.s_addr);
    snprintf(pPeer->ip, sizeof(pPeer->ip), "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
    pPeer->port = ntohs(addr.sin_port);
    return fd;
}

bool TCPIP_Connect(int fd, const char* ip, int port, int* pError) {
    struct sockaddr_in addr = AnyAddress(port);
    if (inet_pton(AF_INET, ip, &addr.sin_addr) != 1) {
        SetError(pError, EINVAL);
        return false;
    }
    // An interrupted connect goes on in the background, exactly like one
    // that reports EINPROGRESS; calling connect again would say EALREADY.
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0) {
        SetError(pError, 0);
        return true;
    }
    int error = errno;
    SetError(pError, error);
    return error == EINPROGRESS || error == EINTR;
}

bool TCPIP_SetNonBlocking(int fd) { return SetFlag(fd, O_NONBLOCK, true); }

bool TCPIP_SetBlocking(int fd) { return SetFlag(fd, O_NONBLOCK, false); }

void TCPIP_SetNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

int TCPIP_SocketError(int fd, int* pResult) {
    int error = 0;
    socklen_t len = sizeof(error);
    int result = fd >= 0 ? getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) : -1;
    if (pResult) *pResult = result;
    return error;
}

ssize_t TCPIP_SendSlices(int fd, const TCPIPSlice_t* slices, int count, int* pError) {
    struct iovec iov[TCPIP_GATHER_BLOCKS];
    if (count < 1 || count > TCPIP_GATHER_BLOCKS) {
        SetError(pError, EINVAL);
        return -1;
    }
    for (int i = 0; i < count; i++) {
        iov[i].iov_base = const_cast<void*>(slices[i].data);
        iov[i].iov_len = slices[i].length;
    }
    struct msghdr message;
    memset(&message, 0, sizeof(message));
    message.msg_iov = iov;
    message.msg_iovlen = static_cast<size_t>(count);
    ssize_t n;
    do {
        n = sendmsg(fd, &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    SetError(pError, n < 0 ? errno : 0);
    return n;
}

ssize_t TCPIP_Send(int fd, const void* data, size_t length, int* pError) {
    TCPIPSlice_t slice = {data, length};
    return TCPIP_SendSlices(fd, &slice, 1, pError);
}

ssize_t TCPIP_Recv(int fd, void* data, size_t length, int* pError, int flags) {
    ssize_t n;
    do {
        n = recv(fd, data, length, flags);
    } while (n < 0 && errno == EINTR);
    SetError(pError, n < 0 ? errno : 0);
    return n;
}

bool TCPIP_Wait(int fd, TCPIPWaitFor_t what, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    struct pollfd p;
    p.fd = fd;
    p.events = static_cast<short>(what == TCPIP_WAIT_WRITE ? POLLOUT : POLLIN);
    for (;;) {
        long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left < 0) left = 0;
        p.revents = 0;
        int r = poll(&p, 1, static_cast<int>(left));
        if (r > 0) return true;
        if (r == 0 || errno != EINTR) return false;
    }
}

void TCPIP_Close(int fd) { close(fd); }

void TCPIP_Abort(int fd) {
    struct linger hard;
    hard.l_onoff = 1;
    hard.l_linger = 0;
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(fd);
}

bool TCPIP_Resolve(const char* host, char* pIp, size_t size) {
    struct addrinfo* pList = nullptr;
    // No hints: every family and socket type comes back; the first IPv4
    // entry that converts is the answer.
    if (getaddrinfo(host, nullptr, nullptr, &pList) != 0) return false;
    bool found = false;
    for (struct addrinfo* p = pList; p != nullptr && !found; p = p->ai_next) {
        if (p->ai_family != AF_INET) continue;
        found = getnameinfo(p->ai_addr, p->ai_addrlen, pIp, static_cast<socklen_t>(size), nullptr, 0,
                            NI_NUMERICHOST) == 0;
    }
    freeaddrinfo(pList);
    return found;
}
