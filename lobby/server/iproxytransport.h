// The relay core's view of its transport: what it sends, within which
// bounds of the destination's send queue, and whom it drops. The daemon's relay forwards these
// to its connection manager; test hosts and the fuzz target record them.
#ifndef NB_LOBBY_SERVER_IPROXYTRANSPORT_H
#define NB_LOBBY_SERVER_IPROXYTRANSPORT_H

#include <cstdint>

#include "common/src/network/iconnectionmanager.h"

// Called by CProxyCore with the relay's mutex held, on whichever thread is
// handling a connection event; implementations must not call back into
// the core.
class IProxyTransport {
public:
    // Copies length bytes into the connection's send order unless its queue
    // would pass hardCap bytes, or has stayed above softCap for graceMs
    // without falling to it (its reader does not keep up). False, with
    // nothing queued, in those two cases.
    virtual bool Send(HConnection hConnection, const void* data, int length, int softCap, int hardCap,
                      int graceMs) = 0;
    // Closes the connection at once, without flushing; its disconnect is
    // reported to the core later, never from inside this call.
    virtual void Drop(HConnection hConnection) = 0;
    // Bytes waiting in the connection's send queue; 0 when the transport
    // keeps none. Asked only when the memory budget is about to break.
    virtual int64_t QueuedBytes(HConnection hConnection) {
        (void)hConnection;
        return 0;
    }

protected:
    ~IProxyTransport() {}
};

#endif
