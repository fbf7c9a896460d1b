// CRelayClient: a small blocking client of the relay protocol, for operator
// tools, benchmarks and tests (and for game code that wants a plain client).
// Owns one TCP socket; one thread uses it at a time. Every wait is bounded by
// the caller's time-out in milliseconds.
#ifndef NB_LOBBY_COMMON_RELAYCLIENT_H
#define NB_LOBBY_COMMON_RELAYCLIENT_H

#include "common/src/datatypes/buffer.h"
#include "lobby/common/rmi/nat_types.h"

class CRelayClient {
public:
    CRelayClient() {}
    ~CRelayClient() { Close(); }
    CRelayClient(const CRelayClient&) = delete;
    CRelayClient& operator=(const CRelayClient&) = delete;

    // host is a name or a dotted IPv4 address.
    bool Connect(const char* host, int port, int timeoutMs);
    void Close();
    bool IsOpen() const { return m_Socket >= 0; }

    // Writes all bytes; false when the connection fails.
    bool SendAll(const void* data, int length);
    // Header {12 + length, uid, type} followed by the payload.
    bool SendPacket(int uid, int type, const void* payload, int length);
    // One whole packet, header included, into packet (emptied first). False
    // on time-out, on close, or when the header's size is out of range.
    bool ReadPacket(CBuffer& packet, int timeoutMs);
    // Registers and returns the id the relay assigned, or 0 on failure.
    int Register(int timeoutMs);
    // True when the peer closed the connection within timeoutMs (bytes that
    // arrive meanwhile are discarded).
    bool WaitClosed(int timeoutMs);

private:
    bool ReadExact(void* data, int length, int timeoutMs);

    int m_Socket = -1;  // owned
};

#endif
