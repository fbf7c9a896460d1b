// The relay core's view of its transport: what it sends, whom it drops and
// how full a destination's send queue is. The daemon's relay forwards these
// to its connection manager; test hosts and the fuzz target record them.
#ifndef NB_LOBBY_SERVER_IPROXYTRANSPORT_H
#define NB_LOBBY_SERVER_IPROXYTRANSPORT_H

#include "common/src/network/iconnectionmanager.h"

// Called by CProxyCore with the relay's mutex held, on whichever thread is
// handling a connection event; implementations must not call back into
// the core.
class IProxyTransport {
public:
    // Copies length bytes into the connection's send order.
    virtual void Send(HConnection hConnection, const void* data, int length) = 0;
    // Closes the connection at once, without flushing; its disconnect is
    // reported to the core later, never from inside this call.
    virtual void Drop(HConnection hConnection) = 0;
    // Bytes accepted for the connection and not yet handed to the kernel.
    virtual int QueuedBytes(HConnection hConnection) = 0;

protected:
    ~IProxyTransport() {}
};

#endif
