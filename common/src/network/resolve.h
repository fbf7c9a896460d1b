// One-shot asynchronous host-name lookup: the socket thread must never block
// on name resolution, so each lookup runs on a thread of its own.
#ifndef NB_COMMON_NETWORK_RESOLVE_H
#define NB_COMMON_NETWORK_RESOLVE_H

#include "common/src/datatypes/ithreadable.h"
#include "common/src/datatypes/string.h"

// Receiver of a lookup's outcome. Exactly one of the two operations is called
// per started CResolveDNS, on the resolver's own thread, with no lock held by
// the resolver: the receiver guards what it touches with its own lock.
class IResolveDNSCallback {
public:
    // ip is dotted-decimal IPv4 text, valid only during the call.
    virtual void ResolveComplete(const char* ip) = 0;
    // No IPv4 address could be found for the name.
    virtual void ResolveFailed() = 0;

protected:
    ~IResolveDNSCallback() {}
};

// Resolves one host name to its first IPv4 address. Built in two steps: the
// constructor only stores the name and the callback, Start() starts the
// lookup thread (the callback may run before Start returns). A thread
// started from a constructor could call into an object whose construction
// has not finished. The destructor waits for a started lookup and its
// callback to finish, so it must not be called from inside the callback,
// nor while holding a lock the callback takes. Owns its name copy and
// thread; borrows the callback. Start and destroy it from one thread.
class CResolveDNS : public IThreadable {
public:
    CResolveDNS(const char* address, IResolveDNSCallback* pCallback);
    virtual ~CResolveDNS();
    CResolveDNS(const CResolveDNS&) = delete;
    CResolveDNS& operator=(const CResolveDNS&) = delete;

    // Starts the lookup; once per object (a second call is fatal).
    void Start();

    // The lookup thread's body; it does not look at the stop signal (a
    // blocked lookup cannot be interrupted).
    virtual void ThreadEntry(CSignal& signal) override;

private:
    CString m_Address;                 // written before the thread starts, then only read
    IResolveDNSCallback* m_pCallback;  // not owned
};

#endif
