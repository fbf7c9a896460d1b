// Remotely addressable objects: the 12-byte reference that starts every
// application message of the message layer, the base class of skeletons,
// proxies, remote buffers and network streams, and the process-wide registry
// of proxy factories by interface name.
#ifndef NB_COMMON_NETWORK_IREMOTEOBJECT_H
#define NB_COMMON_NETWORK_IREMOTEOBJECT_H

#include <cstddef>

#include "common/src/datatypes/string.h"
#include "common/src/datatypes/vector.h"
#include "common/src/network/iconnectionmanager.h"
#include "common/src/network/messagemanager.h"

class CRMIManager;

// The reference of a remote object, copied by value; little-endian on the
// wire like every integer of the message layer.
struct CRemoteObjRef {
    DWORD classID;     // 0: CStringCRC of the class name
    DWORD instanceID;  // 4: instance number; 0 addresses any skeleton of the class
    BYTE isRemote;     // 8: the sender's view: 1 when the object lives at the other end
    BYTE padding[3];   // 9: written as zero, ignored on arrival
};
static_assert(sizeof(CRemoteObjRef) == 12, "an object reference is 12 bytes");
static_assert(offsetof(CRemoteObjRef, instanceID) == 4 && offsetof(CRemoteObjRef, isRemote) == 8,
              "object reference layout");

// Class identifiers of the framework's own remote objects.
const DWORD RMI_CLASSID_NETWORKSTREAM = 0x1CF1B78F;  // CStringCRC("CNetworkStream")
const DWORD RMI_CLASSID_REMOTEBUFFER = 0xD06CD30B;   // CStringCRC("CRemoteBuffer")

// Message types of the remote-object layer.
const DWORD RMI_TYPE_METHOD = 0;       // proxies and skeletons
const DWORD RMI_TYPE_BUFFER = 2;       // remote buffers
const DWORD RMI_TYPE_STREAM_DATA = 3;  // network stream data
const DWORD RMI_TYPE_STREAM_END = 4;   // network stream end

// Reasons passed to ClientError (through CRMIManager::HandleError).
enum RMIReason_t {
    RMI_REASON_UNBOUND_CLASS = 0x30000000,  // no object of the addressed class is bound
    RMI_REASON_ACCESS = 0x30000001,         // the object's permissions do not list the caller
    RMI_REASON_NO_INSTANCE = 0x30000002,    // no object with the addressed instance
    RMI_REASON_MALFORMED = 0x30000003,      // shorter than a reference, or rejected by the object
    RMI_REASON_CONFLICT = 0x30000005,       // a remote-buffer operation conflicting with its activity
};

// Base of every remotely addressable object. Not locked: used on the thread
// that pumps the connection manager.
class IRemoteObject {
public:
    IRemoteObject();
    virtual ~IRemoteObject();
    IRemoteObject(const IRemoteObject&) = delete;
    IRemoteObject& operator=(const IRemoteObject&) = delete;

    // The class name; its CStringCRC is the class identifier.
    virtual CString GetClassName() = 0;
    // A message addressed to this object, read position behind the
    // reference. False: malformed (the manager reports 0x30000003).
    virtual bool ReceivedMessage(HConnection hConnection, CMessage& message) = 0;

    // Not set up already (fatal otherwise).
    void Setup(CRMIManager* pRMIManager, DWORD instanceID, bool isRemote);
    void Unbind();
    bool IsSetUp() const { return m_Initialized; }
    // The object must be set up (fatal otherwise).
    CRemoteObjRef GetObjRef() const;
    CRMIManager* GetRMIManager() const { return m_pRMIManager; }
    CMessageManager* GetMessageManager() const { return m_pMessageManager; }
    // The connection whose message is being handled right now, else null.
    HConnection GetCaller() const { return m_hCaller; }
    void SetCaller(HConnection hConnection) { m_hCaller = hConnection; }

    void EnableSecurity() { m_SecurityEnabled = true; }
    void DisableSecurity() { m_SecurityEnabled = false; }
    bool IsSecurityEnabled() const { return m_SecurityEnabled; }
    void AllowAccess(HConnection hConnection);
    void DenyAccess(HConnection hConnection);
    void ClearPermissions() { m_Permissions.RemoveAll(); }
    // True when security is off or the connection is listed.
    bool HasAccess(HConnection hConnection) const;
    bool IsListed(HConnection hConnection) const { return m_Permissions.Find(hConnection) >= 0; }
    // Reports error for this object through the manager (which drops the
    // connection unless its owner handles it).
    void HandleError(HConnection hConnection, int error);

protected:
    CRemoteObjRef m_ObjRef;
    CRMIManager* m_pRMIManager;          // not owned
    CMessageManager* m_pMessageManager;  // not owned
    HConnection m_hCaller;
    CVector<HConnection> m_Permissions;
    bool m_SecurityEnabled;
    bool m_Initialized;
};

// Makes a proxy of one interface for a connection.
typedef IRemoteObject* (*ProxyFactory_t)(HConnection hConnection);

struct RMIInterface_t {
    CString className;
    ProxyFactory_t pFactory;
};

// The process-wide registry of proxy factories. A static object of this
// class next to each proxy class registers it during static initialisation.
class CRMIInterfaceAccessor {
public:
    CRMIInterfaceAccessor(CString name, ProxyFactory_t pProxyFactory);

    static CVector<RMIInterface_t>& GetRMIInterfaces();
    static int NumberOfInterfaces();
    // index within 0..NumberOfInterfaces()-1 (fatal otherwise).
    static RMIInterface_t GetInterface(int index);
    // The last entry registered under exactly that name (fatal when none).
    static RMIInterface_t GetInterface(CString name);
};

#endif
