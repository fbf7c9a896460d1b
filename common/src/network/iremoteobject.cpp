// Remote objects' common state and the registry of proxy factories.
#include "common/src/network/iremoteobject.h"

#include "common/src/crypto/ihash.h"
#include "common/src/network/rmimanager.h"

IRemoteObject::IRemoteObject()
    : m_ObjRef(), m_pRMIManager(nullptr), m_pMessageManager(nullptr), m_hCaller(nullptr), m_SecurityEnabled(true),
      m_Initialized(false) {}

IRemoteObject::~IRemoteObject() {}

void IRemoteObject::Setup(CRMIManager* pRMIManager, DWORD instanceID, bool isRemote) {
    OS_ASSERTMSG(!m_Initialized, "Reason: %s", "a remote object set up twice");
    OS_ASSERT(pRMIManager != nullptr);
    m_ObjRef = CRemoteObjRef();
    m_ObjRef.classID = CStringCRC(GetClassName());
    m_ObjRef.instanceID = instanceID;
    m_ObjRef.isRemote = isRemote ? 1 : 0;
    m_pRMIManager = pRMIManager;
    m_pMessageManager = pRMIManager->GetMessageManager();
    m_Initialized = true;
}

void IRemoteObject::Unbind() {
    m_pRMIManager = nullptr;
    m_pMessageManager = nullptr;
    m_Initialized = false;
}

CRemoteObjRef IRemoteObject::GetObjRef() const {
    OS_ASSERTMSG(m_Initialized, "Reason: %s", "the reference of a remote object that is not set up");
    return m_ObjRef;
}

void IRemoteObject::AllowAccess(HConnection hConnection) {
    if (m_Permissions.Find(hConnection) < 0) m_Permissions.AddToTail(hConnection);
}

void IRemoteObject::DenyAccess(HConnection hConnection) {
    for (int i = m_Permissions.Count() - 1; i >= 0; i--) {
        if (m_Permissions[i] == hConnection) m_Permissions.Remove(i);
    }
}

bool IRemoteObject::HasAccess(HConnection hConnection) const {
    return !m_SecurityEnabled || m_Permissions.Find(hConnection) >= 0;
}

void IRemoteObject::HandleError(HConnection hConnection, int error) {
    OS_ASSERTMSG(m_pRMIManager != nullptr, "Reason: %s", "an error reported by a remote object that is not set up");
    CRemoteObjRef ref = m_ObjRef;
    m_pRMIManager->HandleError(hConnection, error, &ref, GetClassName());
}

CRMIInterfaceAccessor::CRMIInterfaceAccessor(CString name, ProxyFactory_t pProxyFactory) {
    GetRMIInterfaces().AddToTail(RMIInterface_t{name, pProxyFactory});
}

CVector<RMIInterface_t>& CRMIInterfaceAccessor::GetRMIInterfaces() {
    // Made on first use (static objects of other sources register during
    // static initialisation), destroyed at exit.
    static CVector<RMIInterface_t> s_Interfaces;
    return s_Interfaces;
}

int CRMIInterfaceAccessor::NumberOfInterfaces() { return GetRMIInterfaces().Count(); }

RMIInterface_t CRMIInterfaceAccessor::GetInterface(int index) { return GetRMIInterfaces()[index]; }

RMIInterface_t CRMIInterfaceAccessor::GetInterface(CString name) {
    CVector<RMIInterface_t>& interfaces = GetRMIInterfaces();
    for (int i = interfaces.Count() - 1; i >= 0; i--) {
        if (interfaces[i].className == name) return interfaces[i];
    }
    OS_Assert(__LINE__, __FILE__, "Reason: %s", "no remote interface registered under that name");
}
