// CTable: rows of cells (database results), padded with a null value.
// No lock.
#ifndef NB_COMMON_DATATYPES_TABLE_H
#define NB_COMMON_DATATYPES_TABLE_H

#include "common/src/datatypes/vector.h"

template <class T>
class CTable {
public:
    CTable() : m_NullValue() {}

    int Rows() const { return m_Data.Count(); }
    // Cells of row 0; 0 without rows.
    int Columns() const { return m_Data.Count() == 0 ? 0 : m_Data[0].Count(); }
    // Exactly rows rows, each of exactly columns cells.
    void SetSize(int rows, int columns) {
        m_Data.SetSize(rows, CVector<T>());
        for (int r = 0; r < m_Data.Count(); r++) m_Data[r].SetSize(columns, m_NullValue);
    }
    // A row shorter than Columns() is padded with the null value first.
    void Insert(CVector<T> row) {
        int columns = Columns();
        if (row.Count() < columns) row.SetSize(columns, m_NullValue);
        m_Data.AddToTail(row);
    }
    void RemoveAll() { m_Data.RemoveAll(); }

    CVector<T>& operator[](int row) { return m_Data[row]; }
    const CVector<T>& operator[](int row) const { return m_Data[row]; }
    const CVector<T>& GetRow(int row) const { return m_Data[row]; }

private:
    CVector<CVector<T>> m_Data;  // the rows
    T m_NullValue;               // filler for missing cells
};

#endif
