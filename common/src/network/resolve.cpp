// The resolver's thread body: getaddrinfo, first IPv4 entry, one callback.
#include "common/src/network/resolve.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "common/src/cbase.h"

CResolveDNS::CResolveDNS(const char* address, IResolveDNSCallback* pCallback)
    : m_Address(address), m_pCallback(pCallback) {
    OS_ASSERT(pCallback != nullptr);
    StartThread(OS_THREAD_PRIORITY_NORMAL);
}

CResolveDNS::~CResolveDNS() {
    // Waits for a lookup still blocked in the system resolver: no callback
    // may arrive after the owner has let go of us.
    if (IsThreadPresent()) EndThread();
}

void CResolveDNS::ThreadEntry(CSignal&) {
    struct addrinfo* pList = nullptr;
    // No hints: every family and socket type comes back; only IPv4 is used.
    if (getaddrinfo(m_Address.Ptr(), nullptr, nullptr, &pList) != 0) {
        m_pCallback->ResolveFailed();
        return;
    }
    for (struct addrinfo* p = pList; p != nullptr; p = p->ai_next) {
        if (p->ai_family != AF_INET) continue;
        char host[1025];
        if (getnameinfo(p->ai_addr, p->ai_addrlen, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0) continue;
        Log_PrintAll("CResolveDNS: ip = %s", host);
        freeaddrinfo(pList);
        m_pCallback->ResolveComplete(host);
        return;
    }
    freeaddrinfo(pList);
    m_pCallback->ResolveFailed();
}
