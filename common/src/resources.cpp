#include "common/src/resources.h"

CResources::CResources(CString name, const BYTE* data, int length) {
    CLinkedList<Resources_t>& registry = GetResources();
    registry.AddToTail(Resources_t());
    Resources_t& entry = registry.Tail();
    entry.resource = name;
    entry.buffer.WriteData(data, length);
}

CLinkedList<CResources::Resources_t>& CResources::GetResources() {
    static CLinkedList<Resources_t> s_Registry;
    return s_Registry;
}

const CBuffer* CResources::Find(CString resource) {
    CLinkedList<Resources_t>& registry = GetResources();
    for (int i = 0; i < registry.Count(); i++) {
        if (registry[i].resource == resource) return &registry[i].buffer;
    }
    return nullptr;
}

CVector<CString> CResources::Enumerate() {
    CVector<CString> names;
    CLinkedList<Resources_t>& registry = GetResources();
    for (int i = 0; i < registry.Count(); i++) names.AddToTail(registry[i].resource);
    return names;
}
