// The transport contract between connection managers and their users (the
// relay, the message layer, the HTTP layer): opaque connection handles,
// listener interfaces and the disconnect reason codes.
#ifndef NB_COMMON_NETWORK_ICONNECTIONMANAGER_H
#define NB_COMMON_NETWORK_ICONNECTIONMANAGER_H

#include "common/src/datatypes/string.h"

// Opaque handle of one connection. Valid from ClientConnect (or from Connect
// returning it) until ClientDisconnect for it has been delivered.
typedef void* HConnection;

// Reasons passed to ClientDisconnect. Upper layers pass their own codes to
// ClientError (the message layer uses 0x20000000..0x20000004, remote objects
// 0x30000000..0x30000005); those come back unchanged.
enum TCPIPReason_t {
    TCPIP_REASON_LOCAL = -1,              // local Disconnect, with or without flush
    TCPIP_REASON_TIMEOUT = 0x10000000,    // time-out outside resolution and flushing (send stall)
    TCPIP_REASON_CLOSED = 0x10000001,     // the peer closed after data was exchanged
    TCPIP_REASON_FAILED = 0x10000002,     // failed before any data was exchanged
    TCPIP_REASON_RESOLVE = 0x10000003,    // host name resolution failed or timed out
    TCPIP_REASON_SEND = 0x10000004,       // a send failed after data was exchanged
    TCPIP_REASON_EXCEPTION = 0x10000005,  // the socket reported an exceptional condition (urgent data)
};

class IConnectionManagerListener;

// A connection manager as its users see it. Every operation taking a handle
// must be given a live one. Callbacks to listeners never overlap.
class IConnectionManager {
public:
    // Delivers pending events: extended listeners' Dispatch, then
    // ClientConnect/ClientDisconnect. Call regularly from one thread; never
    // from inside a listener callback.
    virtual void Dispatch() = 0;
    // With extended true the listener must also be an
    // IConnectionManagerExtendedListener. Not from inside a callback.
    virtual void AddListener(IConnectionManagerListener* pListener, bool extended) = 0;
    // Removes every registration of pListener. Not from inside a callback.
    virtual void RemoveListener(IConnectionManagerListener* pListener) = 0;
    // Copies the bytes into the connection's send order. Any thread, also
    // from inside callbacks.
    virtual void SendData(HConnection hConnection, const void* data, int length) = 0;
    // The connection's numeric id as "%d" text.
    virtual CString GetConnectionId(HConnection hConnection) = 0;
    // The live connection with that id text, or null.
    virtual HConnection FindConnection(CString id) = 0;
    // Drops the connection at once; reported later by ClientDisconnect with
    // reason. Any thread, also from inside callbacks.
    virtual void ClientError(HConnection hConnection, int reason) = 0;

protected:
    ~IConnectionManager() {}
};

// Connection events, called with the manager's dispatch lock held (so never
// two at once) on the thread that calls the manager's Dispatch(), or inside
// Connect(..., true) on its caller's thread.
class IConnectionManagerListener {
public:
    // A connection exists (accepted, or created by Connect).
    virtual void ClientConnect(HConnection hConnection) = 0;
    // The connection is finished; forced is true exactly when reason is not
    // -1. The handle must not be used after this call.
    virtual void ClientDisconnect(HConnection hConnection, bool forced, int reason) = 0;

protected:
    ~IConnectionManagerListener() {}
};

// A listener that also receives data and a tick per Dispatch().
class IConnectionManagerExtendedListener : public IConnectionManagerListener {
public:
    // Once per IConnectionManager::Dispatch(), before the connection events.
    virtual void Dispatch() = 0;
    // 1 to 262144 received bytes, on the manager's socket thread with the
    // dispatch lock held; never before the connection's ClientConnect. data
    // is the manager's receive buffer: valid during the call only, and may be
    // modified in place.
    virtual void ClientData(HConnection hConnection, void* data, int length) = 0;

protected:
    ~IConnectionManagerExtendedListener() {}
};

// Optional diagnostic sink. format is printf-style; the values that follow
// are int or unsigned int, the last one always the low 32 bits of the
// handle. Called on whichever thread acts on the connection, with the
// manager's connection lock held: it must not call back into the manager.
class IConnectionManagerLogger {
public:
    virtual void Log(HConnection hConnection, CString format, ...) = 0;

protected:
    ~IConnectionManagerLogger() {}
};

#endif
