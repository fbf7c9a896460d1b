// CAssocArray: key/value entries kept in insertion order, with an ordered
// index (std::map, by the key's operator<) from key to entry position.
// Lookup by key is logarithmic, iteration by index constant per entry,
// removal linear in the later entries. No lock. Raw pointers stored as
// values are not owned.
// The text type comes first, outside the guard: it pulls in the containers
// its Split returns in an order that defines each before its users.
#include "common/src/datatypes/string.h"

#ifndef NB_COMMON_DATATYPES_ASSOCARRAY_H
#define NB_COMMON_DATATYPES_ASSOCARRAY_H

#include <functional>
#include <map>

#include "common/src/datatypes/vector.h"

template <class K, class V>
class CAssocArray {
public:
    struct KeyAndValue {
        K key;
        V value;
    };
    typedef std::map<K, int, std::less<K>, CThreadSafeAllocator<std::pair<const K, int>>> Map_t;

    CAssocArray() : m_NullValue() {}
    CAssocArray(const CAssocArray& other)
        : m_Entries(other.m_Entries), m_Map(other.m_Map), m_NullValue(other.m_NullValue) {}
    CAssocArray& operator=(const CAssocArray& other) {
        if (&other != this) {
            m_Entries = other.m_Entries;
            m_Map = other.m_Map;
            m_NullValue = other.m_NullValue;
        }
        return *this;
    }

    int Count() const { return m_Entries.Count(); }

    // An absent key is appended as a new last entry holding the null value.
    V& operator[](const K& key) {
        int index = FindKey(key);
        if (index < 0) {
            index = Count();
            m_Entries.AddToTail(KeyAndValue{key, m_NullValue});
            m_Map[key] = index;
        }
        return m_Entries[index].value;
    }
    // Read-only lookups add nothing: the null value for an absent key.
    const V& operator[](const K& key) const { return Get(key); }
    const V& Get(const K& key) const {
        int index = FindKey(key);
        return index < 0 ? m_NullValue : m_Entries[index].value;
    }

    K& Key(int index) { return m_Entries[index].key; }
    const K& Key(int index) const { return m_Entries[index].key; }
    V& Value(int index) { return m_Entries[index].value; }
    const V& Value(int index) const { return m_Entries[index].value; }

    int FindKey(const K& key) const {
        auto it = m_Map.find(key);
        if (it == m_Map.end()) return -1;
        OS_ASSERTMSG(it->second >= 0 && it->second < Count() && m_Entries[it->second].key == key,
                     "assoc index out of step");
        return it->second;
    }
    // First entry (insertion order) whose value equals value, or -1.
    int FindValue(const V& value) const {
        for (int i = 0; i < Count(); i++) {
            if (m_Entries[i].value == value) return i;
        }
        return -1;
    }

    // Later entries move down one place; earlier indices stay valid.
    void Remove(int index) {
        OS_ASSERTMSG(index >= 0 && index < Count(), "assoc remove %d of %d", index, Count());
        m_Map.erase(m_Entries[index].key);
        m_Entries.Remove(index, 1);
        for (int i = index; i < Count(); i++) m_Map[m_Entries[i].key] = i;
        OS_ASSERTMSG(static_cast<int>(m_Map.size()) == Count(), "assoc map out of step");
    }
    void RemoveByKey(const K& key) {
        int index = FindKey(key);
        if (index >= 0) Remove(index);
    }
    void RemoveAll() {
        m_Entries.RemoveAll();
        m_Map.clear();
    }

    // key, delMinor, value per entry, delMajor between entries.
    CString Join(CString delMajor, CString delMinor) const {
        CString result;
        for (int i = 0; i < Count(); i++) {
            if (i > 0) result += delMajor;
            result += ToString(m_Entries[i].key);
            result += delMinor;
            result += ToString(m_Entries[i].value);
        }
        return result;
    }

private:
    CVector<KeyAndValue> m_Entries;  // insertion order
    Map_t m_Map;                     // key -> position in m_Entries
    V m_NullValue;                   // value-initialised filler
};

#endif
