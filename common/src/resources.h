// CResources: the process-wide registry of named byte blocks. Constructing a
// CResources registers one entry; a source that embeds data defines a global
// one, so the data is registered before main runs. No lock: registration
// happens during static initialisation, lookups afterwards only read.
#ifndef NB_COMMON_RESOURCES_H
#define NB_COMMON_RESOURCES_H

#include "common/src/datatypes/buffer.h"
#include "common/src/datatypes/linkedlist.h"
#include "common/src/datatypes/string.h"

class CResources {
public:
    struct Resources_t {
        CString resource;  // the name
        CBuffer buffer;    // the bytes
    };

    // Appends an entry holding a copy of length bytes of data.
    CResources(CString name, const BYTE* data, int length);

    // The registry, created on first use, in registration order.
    static CLinkedList<Resources_t>& GetResources();
    // The first entry named exactly resource, or null.
    static const CBuffer* Find(CString resource);
    // Every name in registration order (names may repeat).
    static CVector<CString> Enumerate();
};

#endif
