// CLinkedList: a singly linked list behind a sentinel node. Access by index
// walks from the sentinel, so it is meant for short lists (the resource
// registry). Owns its nodes; no lock.
#ifndef NB_COMMON_DATATYPES_LINKEDLIST_H
#define NB_COMMON_DATATYPES_LINKEDLIST_H

#include "common/src/datatypes/container.h"

template <class T>
class CLinkedListBase {
public:
    struct Node_t {
        Node_t* pNext;
        T data;
    };

    CLinkedListBase() : m_Dummy{nullptr, T()}, m_Count(0) {}
    CLinkedListBase(const CLinkedListBase& other) : CLinkedListBase() { Append(other); }
    CLinkedListBase& operator=(const CLinkedListBase& other) {
        if (&other != this) {
            RemoveAll();
            Append(other);
        }
        return *this;
    }
    ~CLinkedListBase() { RemoveAll(); }

    int Count() const { return m_Count; }
    void AddToTail(const T& src) { AddNodeAfter(GetNode(m_Count - 1), src); }
    // The new node becomes index i.
    void InsertBefore(int i, const T& src) { AddNodeAfter(GetNode(i - 1), src); }
    // The new node becomes index i + 1.
    void InsertAfter(int i, const T& src) { AddNodeAfter(GetNode(i), src); }
    T& operator[](int i) {
        OS_ASSERTMSG(i >= 0 && i < m_Count, "list index %d outside 0..%d", i, m_Count - 1);
        return GetNode(i)->data;
    }
    const T& operator[](int i) const { return const_cast<CLinkedListBase*>(this)->operator[](i); }
    T& Tail() { return (*this)[m_Count - 1]; }
    // Removes num nodes from i.
    void Remove(int i, int num = 1) {
        OS_ASSERTMSG(i >= 0 && num >= 0 && static_cast<long long>(i) + num <= m_Count, "list remove %d+%d of %d", i,
                     num, m_Count);
        Node_t* prev = GetNode(i - 1);
        for (int n = 0; n < num; n++) {
            Node_t* victim = prev->pNext;
            prev->pNext = victim->pNext;
            delete victim;
            m_Count--;
        }
    }
    void RemoveAll() {
        Node_t* node = m_Dummy.pNext;
        while (node) {
            Node_t* next = node->pNext;
            delete node;
            node = next;
        }
        m_Dummy.pNext = nullptr;
        m_Count = 0;
    }

private:
    // Index -1 is the sentinel.
    Node_t* GetNode(int i) {
        OS_ASSERTMSG(i >= -1 && i < m_Count, "list node %d outside -1..%d", i, m_Count - 1);
        Node_t* node = &m_Dummy;
        for (int n = -1; n < i; n++) node = node->pNext;
        OS_ASSERT(node != nullptr);
        return node;
    }
    void AddNodeAfter(Node_t* pNode, const T& src) {
        pNode->pNext = new Node_t{pNode->pNext, src};
        m_Count++;
    }
    void Append(const CLinkedListBase& other) {
        Node_t* tail = GetNode(m_Count - 1);
        for (Node_t* n = other.m_Dummy.pNext; n; n = n->pNext) {
            AddNodeAfter(tail, n->data);
            tail = tail->pNext;
        }
    }

    Node_t m_Dummy;  // sentinel; pNext is the first node
    int m_Count;
};

template <class T>
class CLinkedList : public CContainer<T, CLinkedListBase<T>> {};

#endif
