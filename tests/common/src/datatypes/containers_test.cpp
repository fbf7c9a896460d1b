#include <gtest/gtest.h>

#include "common/src/datatypes/assocarray.h"
#include "common/src/datatypes/linkedlist.h"
#include "common/src/datatypes/table.h"
#include "common/src/datatypes/vector.h"

TEST(Vector, RemoveFindGrowSetSize) {
    CVector<int> v;
    v.AddToTail(3);
    v.AddToTail(1);
    v.AddToTail(3);
    v.RemoveByValue(3);
    ASSERT_EQ(1, v.Count());
    EXPECT_EQ(1, v[0]);
    EXPECT_EQ(-1, v.Find(7));
    v.Grow(2, 9);
    EXPECT_EQ(3, v.Count());
    EXPECT_EQ(9, v.Tail());
    v.SetSize(5, 4);
    EXPECT_EQ(4, v[4]);
    v.SetSize(1, 0);
    EXPECT_EQ(1, v.Count());
    v.InsertBefore(0, 8);
    v.InsertAfter(1, 6);
    EXPECT_STREQ("8,1,6", v.Join(",").Ptr());
    v.Remove(0, 2);
    EXPECT_STREQ("6", v.Join(",").Ptr());
}

TEST(Vector, CopiesAreIndependent) {
    CVector<CString> a;
    a.AddToTail("x");
    CVector<CString> b(a);
    b.AddToTail("y");
    CVector<CString> c;
    c = b;
    c[0] = "z";
    EXPECT_EQ(1, a.Count());
    EXPECT_STREQ("x,y", b.Join(",").Ptr());
    EXPECT_STREQ("z,y", c.Join(",").Ptr());
    EXPECT_STREQ("", CVector<int>().Join(",").Ptr());
}

TEST(VectorDeathTest, IndexOutsideTheVectorStops) {
    CVector<int> v;
    v.AddToTail(1);
    EXPECT_DEATH(v[-1], "Debug assert failed on line [0-9]+ of common/src/datatypes/vector.h");
    EXPECT_DEATH(v[v.Count()], "Debug assert failed on line [0-9]+ of common/src/datatypes/vector.h");
    EXPECT_DEATH(v.Remove(0, 2), "common/src/datatypes/vector.h");
}

TEST(AssocArray, IterationFollowsInsertionOrder) {
    CAssocArray<CString, int> a;
    a["b"] = 1;
    a["a"] = 2;
    a["c"] = 3;
    ASSERT_EQ(3, a.Count());
    EXPECT_STREQ("b", a.Key(0).Ptr());
    EXPECT_STREQ("a", a.Key(1).Ptr());
    EXPECT_STREQ("c", a.Key(2).Ptr());
    a.Remove(0);
    EXPECT_STREQ("a", a.Key(0).Ptr());
    EXPECT_STREQ("c", a.Key(1).Ptr());
    EXPECT_EQ(1, a.FindKey("c"));
    EXPECT_EQ(-1, a.FindKey("b"));
    EXPECT_EQ(1, a.FindValue(3));
    a["a"] = 7;  // existing key keeps its place
    EXPECT_EQ(0, a.FindKey("a"));
    EXPECT_EQ(7, a.Value(0));
}

TEST(AssocArray, ReadOnlyLookupAddsNothing) {
    CAssocArray<CString, CString> a;
    EXPECT_STREQ("", a.Get("missing").Ptr());
    EXPECT_EQ(0, a.Count());
    const CAssocArray<CString, CString>& constRef = a;
    EXPECT_STREQ("", constRef["missing"].Ptr());
    EXPECT_EQ(0, a.Count());
    EXPECT_STREQ("", a["missing"].Ptr());
    EXPECT_EQ(1, a.Count());
}

TEST(AssocArray, JoinAndCopy) {
    CAssocArray<CString, CString> a;
    a["a"] = "1";
    a["b"] = "2";
    EXPECT_STREQ("a=1&b=2", a.Join("&", "=").Ptr());
    EXPECT_STREQ("", (CAssocArray<CString, CString>().Join("&", "=")).Ptr());
    CAssocArray<CString, CString> b(a);
    b.RemoveByKey("a");
    b.RemoveByKey("zzz");
    EXPECT_EQ(2, a.Count());
    EXPECT_EQ(1, b.Count());
    EXPECT_EQ(0, b.FindKey("b"));
    b = a;
    EXPECT_EQ(1, b.FindKey("b"));
    b.RemoveAll();
    EXPECT_EQ(0, b.Count());
    EXPECT_EQ(-1, b.FindKey("a"));
}

TEST(AssocArray, RemovingManyKeepsIndexInStep) {
    CAssocArray<int, int> a;
    for (int i = 0; i < 200; i++) a[i * 7 % 200] = i;
    for (int i = 0; i < 100; i++) a.Remove(i % a.Count());
    for (int i = 0; i < a.Count(); i++) EXPECT_EQ(i, a.FindKey(a.Key(i)));
    EXPECT_EQ(100, a.Count());
}

TEST(AssocArray, PointerKeysAndNestedValues) {
    int x = 0, y = 0;
    CAssocArray<void*, int> byHandle;
    byHandle[&y] = 2;
    byHandle[&x] = 1;
    EXPECT_EQ(1, byHandle.Get(&x));
    EXPECT_EQ(0, byHandle.Get(nullptr));
    CAssocArray<CString, CAssocArray<CString, CString>> doc;
    doc["S"]["k"] = "v";
    EXPECT_STREQ("v", doc.Get("S").Get("k").Ptr());
}

TEST(AssocArrayDeathTest, IndexOutsideTheArrayStops) {
    CAssocArray<CString, int> a;
    a["x"] = 1;
    EXPECT_DEATH(a.Key(1), "Debug assert failed on line [0-9]+ of common/src/datatypes/vector.h");
    EXPECT_DEATH(a.Remove(3), "Debug assert failed on line [0-9]+ of common/src/datatypes/assocarray.h");
}

TEST(LinkedList, InsertsAtTheRightIndex) {
    CLinkedList<int> l;
    l.AddToTail(1);
    l.AddToTail(3);
    l.InsertBefore(1, 2);  // becomes index 1
    l.InsertAfter(2, 4);   // becomes index 3
    l.InsertBefore(0, 0);
    ASSERT_EQ(5, l.Count());
    EXPECT_STREQ("0,1,2,3,4", l.Join(",").Ptr());
    EXPECT_EQ(4, l.Tail());
    EXPECT_EQ(2, l.Find(2));
    l.RemoveByValue(2);
    EXPECT_STREQ("0,1,3,4", l.Join(",").Ptr());
    CLinkedList<int> copy(l);
    l.RemoveAll();
    EXPECT_EQ(0, l.Count());
    EXPECT_EQ(4, copy.Count());
}

TEST(LinkedListDeathTest, IndexOutsideTheListStops) {
    CLinkedList<int> l;
    l.AddToTail(1);
    EXPECT_DEATH(l[1], "Debug assert failed on line [0-9]+ of common/src/datatypes/linkedlist.h");
}

TEST(Table, RowsArePaddedToTheFirstRowsWidth) {
    CTable<CString> t;
    EXPECT_EQ(0, t.Columns());
    CVector<CString> row;
    row.AddToTail("a");
    row.AddToTail("b");
    row.AddToTail("c");
    t.Insert(row);
    CVector<CString> shortRow;
    shortRow.AddToTail("x");
    shortRow.AddToTail("y");
    t.Insert(shortRow);
    ASSERT_EQ(2, t.Rows());
    EXPECT_EQ(3, t[1].Count());
    EXPECT_STREQ("", t[1][2].Ptr());
    t.SetSize(1, 1);
    EXPECT_EQ(1, t.Rows());
    EXPECT_EQ(1, t.Columns());
    EXPECT_STREQ("a", t[0][0].Ptr());
    t.SetSize(2, 2);
    EXPECT_STREQ("", t[1][1].Ptr());
    t.RemoveAll();
    EXPECT_EQ(0, t.Rows());
}
