// CContainer: algorithms shared by the vector and the linked list, written in
// terms of the base's Count, operator[], AddToTail and Remove.
// No lock: owners that share a container protect it themselves.
// The text type comes first, outside the guard: it pulls in the containers
// its Split returns in an order that defines each before its users.
#include "common/src/datatypes/string.h"

#ifndef NB_COMMON_DATATYPES_CONTAINER_H
#define NB_COMMON_DATATYPES_CONTAINER_H


template <class T, class Base>
class CContainer : public Base {
public:
    // Index of the first element equal to element, or -1.
    int Find(const T& element) const {
        for (int i = 0; i < this->Count(); i++) {
            if ((*this)[i] == element) return i;
        }
        return -1;
    }
    // Removes every element equal to element.
    void RemoveByValue(const T& element) {
        for (int i = this->Count() - 1; i >= 0; i--) {
            if ((*this)[i] == element) this->Remove(i, 1);
        }
    }
    // Appends size copies of fill.
    void Grow(int size, const T& fill) {
        for (int i = 0; i < size; i++) this->AddToTail(fill);
    }
    // Pads with fill or cuts from the end to exactly size elements.
    void SetSize(int size, const T& fill) {
        OS_ASSERT(size >= 0);
        while (this->Count() < size) this->AddToTail(fill);
        if (this->Count() > size) this->Remove(size, this->Count() - size);
    }
    // Elements through ToString, delimiter between them (none after the last).
    CString Join(CString delimiter) const {
        CString result;
        for (int i = 0; i < this->Count(); i++) {
            if (i > 0) result += delimiter;
            result += ToString((*this)[i]);
        }
        return result;
    }
};

#endif
