// What a TCP connection tells the manager that owns it. The connection knows
// nothing else of its owner; the owner keeps its own bookkeeping of the
// connection and hands the connection an opaque tag to it (CTCPIPConnection
// ::Attach), which the connection only gives back.
#ifndef NB_COMMON_NETWORK_ITCPIPCONNECTIONOWNER_H
#define NB_COMMON_NETWORK_ITCPIPCONNECTIONOWNER_H

class CTCPIPConnection;

// Both notifications come with the connection lock held, on whichever thread
// acts on the connection (a sender, the socket thread, a resolver thread).
// They must not call back into the connection's operations.
class ITCPIPConnectionOwner {
public:
    // State, socket, pending report or the queue's emptiness changed: the
    // socket thread and Dispatch() should look at the connection again.
    virtual void ConnectionChanged(CTCPIPConnection* pConnection) = 0;
    // The connection is about to close socket: stop watching it first, since
    // its number may be handed out again as soon as it is closed.
    virtual void SocketClosing(CTCPIPConnection* pConnection, int socket) = 0;
    // True when data the calling thread queues now should wait for the
    // owner's FlushDeferred call (the socket thread handing out a receive
    // burst); the owner then remembers the connection for that flush.
    virtual bool DeferSend(CTCPIPConnection* pConnection) = 0;

protected:
    ~ITCPIPConnectionOwner() {}
};

#endif
