// The resolver's thread body: the system resolver's first IPv4 answer, one
// callback.
#include "common/src/network/resolve.h"

#include "common/src/cbase.h"
#include "common/src/network/tcpipsocket.h"

CResolveDNS::CResolveDNS(const char* address, IResolveDNSCallback* pCallback)
    : m_Address(address), m_pCallback(pCallback) {
    OS_ASSERT(pCallback != nullptr);
}

CResolveDNS::~CResolveDNS() {
    // Waits for a lookup still blocked in the system resolver: no callback
    // may arrive after the owner has let go of us.
    if (IsThreadPresent()) EndThread();
}

void CResolveDNS::Start() { StartThread(OS_THREAD_PRIORITY_NORMAL); }

void CResolveDNS::ThreadEntry(CSignal&) {
    char host[1025];
    if (!TCPIP_Resolve(m_Address.Ptr(), host, sizeof(host))) {
        m_pCallback->ResolveFailed();
        return;
    }
    Log_PrintAll("CResolveDNS: ip = %s", host);
    m_pCallback->ResolveComplete(host);
}
