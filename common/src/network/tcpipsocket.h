// Thin wrappers over the BSD socket calls the transport makes, in one place:
// each handles EINTR and errno once, so callers see a result and, where it
// matters, the error number. IPv4 TCP only. Every socket made here is
// close-on-exec, so a child process never keeps a connection alive after we
// close it. Used by the connection manager, its connections and the relay
// client; no state, any thread.
#ifndef NB_COMMON_NETWORK_TCPIPSOCKET_H
#define NB_COMMON_NETWORK_TCPIPSOCKET_H

#include <sys/types.h>

#include <cstddef>

// The address of an accepted peer.
struct TCPIPPeer_t {
    char ip[16];  // dotted "%d.%d.%d.%d" text, NUL-terminated
    int port;     // host byte order
};

// What TCPIP_Wait waits for.
enum TCPIPWaitFor_t { TCPIP_WAIT_READ = 1, TCPIP_WAIT_WRITE = 2 };

// A new TCP socket, or -1 (error number in *pError when given).
int TCPIP_Socket(int* pError = nullptr);
// A listening socket: SO_REUSEADDR, non-blocking, bound to port (0: the
// system chooses) of the local address ip (dotted IPv4 text; null or "":
// all local addresses), the system's largest backlog. -1 on any failure (ip
// not dotted IPv4 text included); otherwise *pPort is the port in use.
int TCPIP_Listen(int port, int* pPort, const char* ip = nullptr);
// Takes one pending connection from a listening socket; -1 when none is
// pending or on failure (error number in *pError: EAGAIN when none waits).
int TCPIP_Accept(int listener, TCPIPPeer_t* pPeer, int* pError);
// Starts connecting fd to dotted IPv4 text ip and port. True when the
// connection is up or under way (EINPROGRESS on a non-blocking socket); the
// outcome then shows as writability and TCPIP_SocketError.
bool TCPIP_Connect(int fd, const char* ip, int port, int* pError);
bool TCPIP_SetNonBlocking(int fd);
bool TCPIP_SetBlocking(int fd);
// Small writes leave at once instead of waiting to be coalesced by the kernel.
void TCPIP_SetNoDelay(int fd);
// The socket's pending error (SO_ERROR), 0 when none. *pResult, when given,
// is getsockopt's own result (-1 when even that failed).
int TCPIP_SocketError(int fd, int* pResult = nullptr);
// send without SIGPIPE. Bytes sent (> 0), 0, or -1 with the error number in
// *pError (EAGAIN when the socket's buffer is full).
ssize_t TCPIP_Send(int fd, const void* data, size_t length, int* pError);
// One piece of a gathering send.
struct TCPIPSlice_t {
    const void* data;
    size_t length;
};
// The most pieces one gathering send takes.
const int TCPIP_GATHER_BLOCKS = 64;
// Sends count (1..TCPIP_GATHER_BLOCKS) pieces in order with one system call,
// without SIGPIPE; results as TCPIP_Send.
ssize_t TCPIP_SendSlices(int fd, const TCPIPSlice_t* slices, int count, int* pError);
// recv. Bytes received (> 0), 0 at the peer's end of stream, or -1 with the
// error number in *pError. flags as for recv (MSG_OOB, MSG_DONTWAIT).
ssize_t TCPIP_Recv(int fd, void* data, size_t length, int* pError, int flags = 0);
// Waits up to timeoutMs for fd to become readable or writable (what); also
// true when the socket has an error or a hang-up to report. False on time-out.
bool TCPIP_Wait(int fd, TCPIPWaitFor_t what, int timeoutMs);
// Orderly close: the kernel still delivers what it holds, then a FIN.
void TCPIP_Close(int fd);
// Abortive close (SO_LINGER with a zero time-out): whatever the kernel still
// holds for the peer is discarded and the peer gets a reset, so a dropped
// slow reader's socket does not linger with its whole send queue.
void TCPIP_Abort(int fd);
// The first IPv4 address of a host name (or dotted text) as dotted text,
// looked up by the system resolver; blocks. False when there is none.
bool TCPIP_Resolve(const char* host, char* pIp, size_t size);

#endif
