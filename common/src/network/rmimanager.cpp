// Routing of application messages to remote objects, instance numbers, the
// per-connection proxies, buffers and streams, and their clean-up.
#include "common/src/network/rmimanager.h"

#include "common/src/crypto/ihash.h"
#include "common/src/network/networkstream.h"
#include "common/src/network/remotebuffer.h"

CRMIManager::CRMIManager(CMessageManager* pMessageManager, IRMIManagerCallback* pCallback)
    : m_pMessageManager(pMessageManager),
      m_IDCounter(1),
      m_SecurityEnabled(true),
      m_pCallback(pCallback),
      m_pCurrent(nullptr),
      m_bCurrentGone(false) {
    OS_ASSERT(pMessageManager != nullptr);
    OS_ASSERTMSG(CStringCRC("CNetworkStream") == RMI_CLASSID_NETWORKSTREAM, "Reason: %s",
                 "the class identifier of CNetworkStream changed");
    OS_ASSERTMSG(CStringCRC("CRemoteBuffer") == RMI_CLASSID_REMOTEBUFFER, "Reason: %s",
                 "the class identifier of CRemoteBuffer changed");
    DWORD streamNode = CStringCRC("IStreamNode");
    int count = CRMIInterfaceAccessor::NumberOfInterfaces();
    for (int i = 0; i < count; i++) {
        CString name = CRMIInterfaceAccessor::GetInterface(i).className;
        DWORD id = CStringCRC(name);
        OS_ASSERTMSG(id != streamNode, "remote interface %s has the identifier of IStreamNode", name.Ptr());
        for (int k = i + 1; k < count; k++) {
            OS_ASSERTMSG(CStringCRC(CRMIInterfaceAccessor::GetInterface(k).className) != id,
                         "remote interfaces %s and %s share an identifier", name.Ptr(),
                         CRMIInterfaceAccessor::GetInterface(k).className.Ptr());
        }
    }
    m_pMessageManager->HookMessage(RMI_TYPE_METHOD, this);
    m_pMessageManager->HookMessage(RMI_TYPE_BUFFER, this);
    m_pMessageManager->HookMessage(RMI_TYPE_STREAM_END, this);
    m_pMessageManager->HookMessage(RMI_TYPE_STREAM_DATA, this);
    m_pMessageManager->GetConnectionManager()->AddListener(this, true);
}

CRMIManager::~CRMIManager() {
    m_pMessageManager->GetConnectionManager()->RemoveListener(this);
    for (int i = 0; i < m_Proxies.Count(); i++) {
        CVector<IRemoteObject*>& proxies = m_Proxies.Value(i);
        for (int k = 0; k < proxies.Count(); k++) delete proxies[k];
    }
    m_Proxies.RemoveAll();
    CAssocArray<HConnection, CVector<CNetworkStream*>> streams = m_NetworkStreams;
    m_NetworkStreams.RemoveAll();
    for (int i = 0; i < streams.Count(); i++) {
        for (int k = 0; k < streams.Value(i).Count(); k++) delete streams.Value(i)[k];
    }
    CAssocArray<HConnection, CVector<CRemoteBuffer*>> buffers = m_RemoteBuffers;
    m_RemoteBuffers.RemoveAll();
    for (int i = 0; i < buffers.Count(); i++) {
        for (int k = 0; k < buffers.Value(i).Count(); k++) {
            CRemoteBuffer* pBuffer = buffers.Value(i)[k];
            bool remote = pBuffer->GetType() == RB_REMOTE;
            pBuffer->Clear();
            if (remote) delete pBuffer;
        }
    }
    // Skeletons stay with their owners, no longer bound here.
    for (int i = 0; i < m_Skeletons.Count(); i++) {
        for (int k = 0; k < m_Skeletons.Value(i).Count(); k++) m_Skeletons.Value(i)[k]->Unbind();
    }
}

CRemoteObjRef CRMIManager::CreateObjRef() {
    CRemoteObjRef ref = CRemoteObjRef();
    ref.instanceID = m_IDCounter++;
    OS_ASSERTMSG(m_IDCounter != 0, "Reason: %s", "remote object instance numbers exhausted");
    return ref;
}

void CRMIManager::Bind(IRemoteObject* pRemoteObject) {
    CRemoteObjRef ref = CreateObjRef();
    DWORD classID = CStringCRC(pRemoteObject->GetClassName());
    int index = m_Skeletons.FindKey(classID);
    OS_ASSERTMSG(index < 0 || m_Skeletons.Value(index).Find(pRemoteObject) < 0, "Reason: %s",
                 "a remote object bound twice");
    pRemoteObject->Setup(this, ref.instanceID, true);
    m_Skeletons[classID].AddToTail(pRemoteObject);
}

void CRMIManager::Unbind(IRemoteObject* pRemoteObject) {
    OS_ASSERTMSG(pRemoteObject->IsSetUp(), "Reason: %s", "unbinding a remote object that is not set up");
    DWORD classID = pRemoteObject->GetObjRef().classID;
    pRemoteObject->Unbind();
    int index = m_Skeletons.FindKey(classID);
    if (index < 0) return;
    CVector<IRemoteObject*>& list = m_Skeletons.Value(index);
    int at = list.Find(pRemoteObject);
    if (at >= 0) list.Remove(at);
    if (list.Count() == 0) m_Skeletons.Remove(index);
    Forgotten(pRemoteObject);
}

IRemoteObject* CRMIManager::CreateProxyInternal(HConnection hConnection, CString name, DWORD instanceID) {
    RMIInterface_t entry = CRMIInterfaceAccessor::GetInterface(name);
    IRemoteObject* pProxy = entry.pFactory(hConnection);
    OS_ASSERT(pProxy != nullptr);
    pProxy->Setup(this, instanceID, false);
    pProxy->EnableSecurity();
    m_Proxies[hConnection].AddToTail(pProxy);
    return pProxy;
}

void CRMIManager::DestroyProxy(IRemoteObject* pRemoteObject) {
    for (int i = 0; i < m_Proxies.Count(); i++) {
        CVector<IRemoteObject*>& list = m_Proxies.Value(i);
        int at = list.Find(pRemoteObject);
        if (at >= 0) list.Remove(at);
    }
    Forgotten(pRemoteObject);
    delete pRemoteObject;
}

CNetworkStream* CRMIManager::CreateStream(HConnection hConnection, CRemoteObjRef objRef, StreamType_t type) {
    CNetworkStream* pStream = new CNetworkStream(hConnection, objRef, type, this);
    m_NetworkStreams[hConnection].AddToTail(pStream);
    return pStream;
}

void CRMIManager::DestroyStream(CNetworkStream* pStream) {
    for (int i = 0; i < m_NetworkStreams.Count(); i++) {
        CVector<CNetworkStream*>& list = m_NetworkStreams.Value(i);
        int at = list.Find(pStream);
        if (at >= 0) list.Remove(at);
    }
    int at = m_Disconnecting.Find(pStream);
    if (at >= 0) m_Disconnecting.Remove(at);
    Forgotten(pStream);
    delete pStream;
}

CRemoteBuffer* CRMIManager::CreateRemoteBuffer(HConnection hConnection, DWORD id) {
    CRemoteBuffer* pBuffer = new CRemoteBuffer(24);
    m_RemoteBuffers[hConnection].AddToTail(pBuffer);
    pBuffer->Setup(hConnection, this, &m_TimerManager, id, true);
    return pBuffer;
}

void CRMIManager::AddRemoteBuffer(HConnection hConnection, CRemoteBuffer* pRemoteBuffer) {
    ForgetRemoteBuffer(pRemoteBuffer);
    CRemoteObjRef ref = CreateObjRef();
    pRemoteBuffer->Setup(hConnection, this, &m_TimerManager, ref.instanceID, false);
    m_RemoteBuffers[hConnection].AddToTail(pRemoteBuffer);
}

bool CRMIManager::RemoveRemoteBuffer(CRemoteBuffer* pRemoteBuffer) {
    for (int i = 0; i < m_RemoteBuffers.Count(); i++) {
        CVector<CRemoteBuffer*>& list = m_RemoteBuffers.Value(i);
        int at = list.Find(pRemoteBuffer);
        if (at < 0) continue;
        list.Remove(at);
        Forgotten(pRemoteBuffer);
        bool remote = pRemoteBuffer->GetType() == RB_REMOTE;
        pRemoteBuffer->Clear();
        if (remote) {
            delete pRemoteBuffer;
            return true;
        }
    }
    return false;
}

void CRMIManager::ForgetRemoteBuffer(CRemoteBuffer* pRemoteBuffer) {
    for (int i = 0; i < m_RemoteBuffers.Count(); i++) {
        CVector<CRemoteBuffer*>& list = m_RemoteBuffers.Value(i);
        int at = list.Find(pRemoteBuffer);
        if (at >= 0) list.Remove(at);
    }
    Forgotten(pRemoteBuffer);
}

void CRMIManager::Forgotten(IRemoteObject* pObject) {
    if (pObject == m_pCurrent) m_bCurrentGone = true;
}

void CRMIManager::HandleError(HConnection hConnection, int error, CRemoteObjRef* pRef, CString name) {
    RMIException_t exception{error, pRef, name};
    if (m_pCallback && m_pCallback->HandleRMIError(hConnection, exception)) return;
    m_pMessageManager->GetConnectionManager()->ClientError(hConnection, error);
}

IRemoteObject* CRMIManager::Route(HConnection hConnection, CRemoteObjRef& ref) {
    if (ref.classID == RMI_CLASSID_NETWORKSTREAM) {
        int index = m_NetworkStreams.FindKey(hConnection);
        if (index < 0) return nullptr;
        CVector<CNetworkStream*>& list = m_NetworkStreams.Value(index);
        for (int i = 0; i < list.Count(); i++) {
            CRemoteObjRef own = list[i]->GetObjRef();
            if (own.instanceID == ref.instanceID && own.isRemote == ref.isRemote) return list[i];
        }
        return nullptr;
    }
    if (ref.classID == RMI_CLASSID_REMOTEBUFFER) {
        int index = m_RemoteBuffers.FindKey(hConnection);
        if (index < 0) return nullptr;
        CVector<CRemoteBuffer*>& list = m_RemoteBuffers.Value(index);
        for (int i = 0; i < list.Count(); i++) {
            if (list[i]->GetID() == ref.instanceID && list[i]->GetObjRef().isRemote == ref.isRemote) return list[i];
        }
        return nullptr;
    }
    CVector<IRemoteObject*>& list = m_Skeletons.Value(m_Skeletons.FindKey(ref.classID));
    IRemoteObject* pLast = nullptr;
    for (int i = 0; i < list.Count(); i++) {
        IRemoteObject* pObject = list[i];
        if (ref.instanceID != 0 && pObject->GetObjRef().instanceID != ref.instanceID) continue;
        if (pObject->HasAccess(hConnection)) return pObject;
        pLast = pObject;
    }
    return pLast;
}

void CRMIManager::ReceivedMessage(HConnection hConnection, CMessage& message) {
    // The connection's objects went with its disconnect, and its handle is
    // dead: nothing can be routed or reported for it.
    if (m_pMessageManager->DeliveringFromClosed()) return;
    if (message.RemainingLength() < static_cast<int>(sizeof(CRemoteObjRef))) {
        HandleError(hConnection, RMI_REASON_MALFORMED, nullptr, "");
        return;
    }
    CRemoteObjRef ref;
    message.ReadData(&ref, sizeof ref);
    ref.isRemote = ref.isRemote ? 0 : 1;
    if (ref.classID != RMI_CLASSID_NETWORKSTREAM && ref.classID != RMI_CLASSID_REMOTEBUFFER &&
        m_Skeletons.FindKey(ref.classID) < 0) {
        HandleError(hConnection, RMI_REASON_UNBOUND_CLASS, &ref, "");
        return;
    }
    IRemoteObject* pObject = Route(hConnection, ref);
    if (!pObject) {
        HandleError(hConnection, RMI_REASON_NO_INSTANCE, &ref, "");
        return;
    }
    CString className = pObject->GetClassName();
    if (m_SecurityEnabled && pObject->IsSecurityEnabled() && !pObject->IsListed(hConnection)) {
        HandleError(hConnection, RMI_REASON_ACCESS, &ref, className);
        return;
    }
    // The object may remove or delete itself while it handles the message
    // (a finished transfer, an ended stream): then it is not touched again.
    IRemoteObject* pOuter = m_pCurrent;
    bool outerGone = m_bCurrentGone;
    m_pCurrent = pObject;
    m_bCurrentGone = false;
    pObject->SetCaller(hConnection);
    bool ok = pObject->ReceivedMessage(hConnection, message);
    if (!m_bCurrentGone) pObject->SetCaller(nullptr);
    m_pCurrent = pOuter;
    m_bCurrentGone = outerGone;
    if (!ok) HandleError(hConnection, RMI_REASON_MALFORMED, &ref, className);
}

template <class T>
bool CRMIManager::Contains(CAssocArray<HConnection, CVector<T*>>& lists, T* pObject) {
    for (int i = 0; i < lists.Count(); i++) {
        if (lists.Value(i).Find(pObject) >= 0) return true;
    }
    return false;
}

void CRMIManager::Dispatch() {
    m_TimerManager.Dispatch();
    // A buffer or stream may remove (or delete) itself or others while it is
    // dispatched: each is called only while it is still listed.
    CVector<CRemoteBuffer*> buffers;
    for (int i = 0; i < m_RemoteBuffers.Count(); i++) buffers.Std().insert(buffers.Std().end(),
        m_RemoteBuffers.Value(i).Std().begin(), m_RemoteBuffers.Value(i).Std().end());
    for (int i = 0; i < buffers.Count(); i++) {
        if (Contains(m_RemoteBuffers, buffers[i])) buffers[i]->Dispatch();
    }
    CVector<CNetworkStream*> streams;
    for (int i = 0; i < m_NetworkStreams.Count(); i++) streams.Std().insert(streams.Std().end(),
        m_NetworkStreams.Value(i).Std().begin(), m_NetworkStreams.Value(i).Std().end());
    for (int i = 0; i < streams.Count(); i++) {
        if (Contains(m_NetworkStreams, streams[i])) streams[i]->Dispatch();
    }
}

void CRMIManager::ClientDisconnect(HConnection hConnection, bool /*forced*/, int /*reason*/) {
    int index = m_RemoteBuffers.FindKey(hConnection);
    if (index >= 0) {
        CVector<CRemoteBuffer*> buffers = m_RemoteBuffers.Value(index);
        m_RemoteBuffers.Remove(index);
        for (int i = 0; i < buffers.Count(); i++) {
            CRemoteBuffer* pBuffer = buffers[i];
            bool remote = pBuffer->GetType() == RB_REMOTE;
            pBuffer->Clear();
            pBuffer->SetState(RB_TIMEOUT);
            if (remote) delete pBuffer;
        }
    }
    index = m_NetworkStreams.FindKey(hConnection);
    if (index >= 0) {
        // No longer listed: a stream deletes itself once its owner lets it.
        // Ending a sink runs its nodes, which may delete other streams of
        // this connection still to be told (DestroyStream takes them off).
        m_Disconnecting = m_NetworkStreams.Value(index);
        m_NetworkStreams.Remove(index);
        while (m_Disconnecting.Count() > 0) {
            CNetworkStream* pStream = m_Disconnecting[0];
            m_Disconnecting.Remove(0);
            pStream->Disconnect();
        }
    }
    index = m_Proxies.FindKey(hConnection);
    if (index >= 0) {
        CVector<IRemoteObject*> proxies = m_Proxies.Value(index);
        m_Proxies.Remove(index);
        for (int i = 0; i < proxies.Count(); i++) delete proxies[i];
    }
}
