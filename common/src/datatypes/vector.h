// CVector: an owned standard vector of elements stored by value, with the
// framework's index-checked access. Out-of-range indices stop the process.
// No lock: owners that share a vector protect it themselves.
// The text type comes first, outside the guard: it pulls in the containers
// its Split returns in an order that defines each before its users.
#include "common/src/datatypes/string.h"

#ifndef NB_COMMON_DATATYPES_VECTOR_H
#define NB_COMMON_DATATYPES_VECTOR_H

#include <vector>

#include "common/src/datatypes/container.h"

template <class T>
class CVectorBase {
public:
    typedef std::vector<T, CThreadSafeAllocator<T>> Vector_t;

    CVectorBase() : m_Vec(new Vector_t()) {}
    CVectorBase(const CVectorBase& other) : m_Vec(new Vector_t()) { Append(other); }
    CVectorBase& operator=(const CVectorBase& other) {
        if (&other != this) {
            m_Vec->clear();
            Append(other);
        }
        return *this;
    }
    ~CVectorBase() { delete m_Vec; }

    int Count() const { return static_cast<int>(m_Vec->size()); }
    T& operator[](int i) {
        CheckIndex(i);
        return (*m_Vec)[static_cast<size_t>(i)];
    }
    const T& operator[](int i) const {
        CheckIndex(i);
        return (*m_Vec)[static_cast<size_t>(i)];
    }
    T& At(int i) { return (*this)[i]; }
    const T& At(int i) const { return (*this)[i]; }
    T& Head() { return (*this)[0]; }
    const T& Head() const { return (*this)[0]; }
    T& Tail() { return (*this)[Count() - 1]; }
    const T& Tail() const { return (*this)[Count() - 1]; }

    void AddToTail(const T& src) { m_Vec->push_back(src); }
    void AddToHead(const T& src) { m_Vec->insert(m_Vec->begin(), src); }
    // The new element becomes index i (0..Count()).
    void InsertBefore(int i, const T& src) {
        OS_ASSERTMSG(i >= 0 && i <= Count(), "vector insert at %d of %d", i, Count());
        m_Vec->insert(m_Vec->begin() + i, src);
    }
    // The new element becomes index i + 1.
    void InsertAfter(int i, const T& src) { InsertBefore(i + 1, src); }
    // Removes num elements from i; the range must lie inside the vector.
    void Remove(int i, int num = 1) {
        OS_ASSERTMSG(i >= 0 && num >= 0 && static_cast<long long>(i) + num <= Count(),
                     "vector remove %d+%d of %d", i, num, Count());
        m_Vec->erase(m_Vec->begin() + i, m_Vec->begin() + i + num);
    }
    void RemoveAll() { m_Vec->clear(); }

    // The standard vector behind it, for algorithms that want iterators.
    Vector_t& Std() { return *m_Vec; }
    const Vector_t& Std() const { return *m_Vec; }

private:
    void CheckIndex(int i) const {
        OS_ASSERTMSG(i >= 0 && i < Count(), "vector index %d outside 0..%d", i, Count() - 1);
    }
    void Append(const CVectorBase& other) {
        m_Vec->reserve(other.m_Vec->size());
        for (const T& e : *other.m_Vec) m_Vec->push_back(e);
    }

    Vector_t* m_Vec;  // owned
};

template <class T>
class CVector : public CContainer<T, CVectorBase<T>> {
public:
    CVector() {}
    CVector(const CVector& other) : CContainer<T, CVectorBase<T>>(other) {}
    CVector& operator=(const CVector& other) {
        CVectorBase<T>::operator=(other);
        return *this;
    }
};

#endif
