// CRMIManager: routes the application messages of a message manager to
// objects by the reference they start with: bound skeletons (shared by all
// connections), and the remote buffers and network streams of each
// connection. Owns the proxies and the network streams it creates and the
// remote buffers that stand for a peer's buffer (RB_REMOTE); assigns
// instance numbers (never reused); cleans up when a connection goes away.
//
// No lock: every operation, the message manager's deliveries and the
// connection manager's disconnect reports run on the one thread that pumps
// the connection manager; owners create and destroy proxies, buffers and
// streams on that thread too.
#ifndef NB_COMMON_NETWORK_RMIMANAGER_H
#define NB_COMMON_NETWORK_RMIMANAGER_H

#include "common/src/datatypes/assocarray.h"
#include "common/src/network/iremoteobject.h"
#include "common/src/network/messagemanager.h"
#include "common/src/timers.h"

class CRemoteBuffer;
class CNetworkStream;

enum StreamType_t {
    NST_SINK = 0,    // receives from the network
    NST_SOURCE = 1,  // sends to the network
};

struct RMIException_t {
    int type;                 // the error code
    CRemoteObjRef* pObjRef;   // the reference concerned, or null
    CString className;        // the class of the object concerned, or empty
};

// The owner's error handler.
class IRMIManagerCallback {
public:
    // True: handled, the connection stays up.
    virtual bool HandleRMIError(HConnection hConnection, RMIException_t& exception) = 0;

protected:
    ~IRMIManagerCallback() {}
};

class CRMIManager : public IMessageManagerCallback, public IConnectionManagerExtendedListener {
public:
    // Hooks message types 0, 2, 3 and 4 and listens to the connection
    // manager (which must be running). Fatal when two registered interface
    // names share an identifier, or one has that of "IStreamNode".
    CRMIManager(CMessageManager* pMessageManager, IRMIManagerCallback* pCallback);
    // Deletes proxies, streams and RB_REMOTE buffers; clears RB_LOCAL ones.
    virtual ~CRMIManager();
    CRMIManager(const CRMIManager&) = delete;
    CRMIManager& operator=(const CRMIManager&) = delete;

    CMessageManager* GetMessageManager() const { return m_pMessageManager; }
    CTimerManager* GetTimerManager() { return &m_TimerManager; }

    // classID 0 and the next instance number (from 1; fatal when exhausted).
    CRemoteObjRef CreateObjRef();
    // Makes a local object (a skeleton) callable by every connection.
    void Bind(IRemoteObject* pRemoteObject);
    void Unbind(IRemoteObject* pRemoteObject);
    // A proxy of the named interface for the peer's instance, owned by the
    // manager until DestroyProxy or the connection's disconnect.
    IRemoteObject* CreateProxyInternal(HConnection hConnection, CString name, DWORD instanceID);
    void DestroyProxy(IRemoteObject* pRemoteObject);
    CNetworkStream* CreateStream(HConnection hConnection, CRemoteObjRef objRef, StreamType_t type);
    void DestroyStream(CNetworkStream* pStream);
    // The receiving end (RB_REMOTE, owned here) of the peer's buffer id.
    CRemoteBuffer* CreateRemoteBuffer(HConnection hConnection, DWORD id);
    // Registers the owner's buffer (RB_LOCAL) with a new instance number.
    void AddRemoteBuffer(HConnection hConnection, CRemoteBuffer* pRemoteBuffer);
    // Clears a listed buffer and deletes it when it is RB_REMOTE; true when
    // it was deleted.
    bool RemoveRemoteBuffer(CRemoteBuffer* pRemoteBuffer);
    // Takes the buffer off the lists only (from its destructor).
    void ForgetRemoteBuffer(CRemoteBuffer* pRemoteBuffer);
    void EnableSecurity() { m_SecurityEnabled = true; }
    void DisableSecurity() { m_SecurityEnabled = false; }
    // The owner's callback decides; unhandled errors drop the connection.
    void HandleError(HConnection hConnection, int error, CRemoteObjRef* pRef, CString name);

    // Routes a message of type 0, 2, 3 or 4 (also called by WaitForData).
    virtual void ReceivedMessage(HConnection hConnection, CMessage& message) override;
    virtual void PingResult(HConnection, unsigned int) override {}
    virtual void ClientConnect(HConnection) override {}
    virtual void ClientDisconnect(HConnection hConnection, bool forced, int reason) override;
    virtual void Dispatch() override;
    virtual void ClientData(HConnection, void*, int) override {}

private:
    IRemoteObject* Route(HConnection hConnection, CRemoteObjRef& ref);
    // The object being handed a message is removed or deleted.
    void Forgotten(IRemoteObject* pObject);
    template <class T>
    static bool Contains(CAssocArray<HConnection, CVector<T*>>& lists, T* pObject);

    CMessageManager* m_pMessageManager;  // not owned
    DWORD m_IDCounter;
    bool m_SecurityEnabled;
    CTimerManager m_TimerManager;
    IRMIManagerCallback* m_pCallback;  // not owned
    CAssocArray<DWORD, CVector<IRemoteObject*>> m_Skeletons;          // not owned
    CAssocArray<HConnection, CVector<IRemoteObject*>> m_Proxies;      // owned
    CAssocArray<HConnection, CVector<CRemoteBuffer*>> m_RemoteBuffers;
    CAssocArray<HConnection, CVector<CNetworkStream*>> m_NetworkStreams;
    // The streams of a disconnected connection not yet told of it.
    CVector<CNetworkStream*> m_Disconnecting;
    // The object handed a message right now, and whether it went away
    // during the call (then it is not touched again).
    IRemoteObject* m_pCurrent;
    bool m_bCurrentGone;
};

#endif
