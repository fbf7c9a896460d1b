#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/src/datatypes/buffer.h"

static std::string Content(const CBuffer& b) {
    return b.Length() ? std::string(static_cast<const char*>(b.Data()), static_cast<size_t>(b.Length())) : "";
}

static std::string Unread(const CBuffer& b) {
    return std::string(static_cast<const char*>(b.Ptr()), static_cast<size_t>(b.RemainingLength()));
}

TEST(BufferGrowth, FirstWritesAllocateTwiceTheirSize) {
    CBuffer b;
    EXPECT_EQ(0, b.Length());
    EXPECT_EQ(nullptr, b.Data());
    b.WriteInt(1);
    EXPECT_EQ(4, b.Length());
    EXPECT_EQ(8, b.Capacity());
    EXPECT_EQ(std::string("\x01\x00\x00\x00", 4), Content(b));

    CBuffer c;
    c.WriteByte(7);
    EXPECT_EQ(2, c.Capacity());
    CBuffer d;
    d.WriteData("abcde", 5);
    EXPECT_EQ(10, d.Capacity());
}

TEST(BufferGrowth, DoublesOrTakesTwiceTheAppend) {
    CBuffer b;
    b.WriteInt(0);
    b.WriteData("xy", 2);  // 6 bytes, capacity 8
    ASSERT_EQ(8, b.Capacity());
    b.WriteData("12345", 5);
    EXPECT_EQ(16, b.Capacity());
    char big[40] = {};
    b.WriteData(big, 40);
    EXPECT_EQ(80, b.Capacity());
    EXPECT_EQ(51, b.Length());
}

TEST(BufferGrowth, GrowthKeepsTheReadOffset) {
    CBuffer b;
    b.WriteData("abcd", 4);
    b.IncrementPtr(2);
    char big[100];
    memset(big, 'z', sizeof big);
    b.WriteData(big, 100);
    EXPECT_EQ(102, b.RemainingLength());
    EXPECT_EQ('c', *static_cast<char*>(b.Ptr()));
}

TEST(BufferRead, ShortReadsDoNotFail) {
    CBuffer b;
    b.WriteData("abc", 3);
    EXPECT_EQ(0, b.ReadInt());
    EXPECT_EQ(3, b.RemainingLength());
    char out[4] = {1, 1, 1, 1};
    b.ReadData(out, 4);
    EXPECT_EQ(0, memcmp(out, "\0\0\0\0", 4));
    EXPECT_EQ(0, b.RemainingLength());
    b.ResetPtr();
    EXPECT_EQ(3, b.RemainingLength());
    EXPECT_EQ(3, b.Length());
}

TEST(BufferRead, IncrementPtrClampsToTheContent) {
    CBuffer b;
    b.WriteData("abcdef", 6);
    b.IncrementPtr(4);
    EXPECT_EQ("ef", Unread(b));
    b.IncrementPtr(100);
    EXPECT_EQ(0, b.RemainingLength());
}

TEST(BufferSerialise, RoundTripKeepsContentAndReadOffset) {
    CBuffer inner;
    inner.WriteData("hello", 5);
    inner.IncrementPtr(2);
    CBuffer outer;
    outer << inner;
    EXPECT_EQ(std::string("\x05\0\0\0\x02\0\0\0hello", 13), Content(outer));

    CBuffer copy;
    ASSERT_TRUE(outer >> copy);
    EXPECT_EQ(5, copy.Length());
    EXPECT_EQ(3, copy.RemainingLength());
    EXPECT_EQ("llo", Unread(copy));
    EXPECT_EQ(0, outer.RemainingLength());
}

TEST(BufferSerialise, IncompleteOrInconsistentHeaderEmptiesTheTarget) {
    CBuffer target;
    target.WriteData("junk", 4);

    CBuffer shortHeader;
    shortHeader.WriteData("\x05\0\0\0", 4);
    EXPECT_FALSE(shortHeader >> target);
    EXPECT_EQ(0, target.Length());
    EXPECT_EQ(4, shortHeader.RemainingLength());  // nothing consumed

    CBuffer tooLong;
    tooLong.WriteInt(10);
    tooLong.WriteInt(0);
    tooLong.WriteData("abc", 3);
    target.WriteData("junk", 4);
    EXPECT_FALSE(tooLong >> target);
    EXPECT_EQ(0, target.Length());
    EXPECT_EQ(3, tooLong.RemainingLength());  // header consumed

    CBuffer badOffset;
    badOffset.WriteInt(2);
    badOffset.WriteInt(3);
    badOffset.WriteData("ab", 2);
    EXPECT_FALSE(badOffset >> target);

    CBuffer negative;
    negative.WriteInt(-4);
    negative.WriteInt(0);
    EXPECT_FALSE(negative >> target);
}

TEST(BufferEdit, AlignPadsWithZeros) {
    CBuffer b;
    b.WriteData("0123456789abc", 13);
    b.Align(8);
    EXPECT_EQ(16, b.Length());
    EXPECT_EQ(std::string("\0\0\0", 3), Content(b).substr(13));
    b.Align(8);
    EXPECT_EQ(16, b.Length());
}

TEST(BufferEdit, EraseFromTheEndAndFromThePosition) {
    CBuffer b;
    b.WriteData("abcdef", 6);
    b.EraseData(0, 2);
    EXPECT_EQ("cdef", Content(b));
    CBuffer c;
    c.WriteData("abcdef", 6);
    c.EraseData(2);
    EXPECT_EQ("abcd", Content(c));
    c.EraseData(10);
    EXPECT_EQ("abcd", Content(c));
}

TEST(BufferEdit, EraseDataReadKeepsOnlyTheUnreadBytes) {
    CBuffer b;
    b.WriteData("abcdef", 6);
    b.IncrementPtr(2);
    b.EraseDataRead();
    EXPECT_EQ("cdef", Content(b));
    EXPECT_EQ(4, b.RemainingLength());
    b.WriteData("g", 1);
    EXPECT_EQ("cdefg", Unread(b));
}

TEST(BufferEditDeathTest, EraseBeyondTheContentStops) {
    CBuffer b;
    b.WriteData("abc", 3);
    EXPECT_DEATH(b.EraseData(2, 2), "Debug assert failed on line [0-9]+ of common/src/datatypes/buffer.h");
}

TEST(BufferCopy, AssignmentCopiesContentAndCursorsAndNeverShrinks) {
    CBuffer a;
    a.WriteData("abcdef", 6);
    a.IncrementPtr(1);
    CBuffer b;
    char big[100] = {};
    b.WriteData(big, 100);
    int capacity = b.Capacity();
    b = a;
    EXPECT_EQ(capacity, b.Capacity());
    EXPECT_EQ("bcdef", Unread(b));
    CBuffer c(a);
    EXPECT_EQ("abcdef", Content(c));
    CBuffer empty;
    c = empty;
    EXPECT_EQ(0, c.Length());
    c.Empty();
    EXPECT_NE(nullptr, c.Data());  // the block stays for reuse
}

TEST(BufferCopy, ResizeSetsExactCapacity) {
    CBuffer b;
    b.WriteData("abc", 3);
    b.IncrementPtr(1);
    b.Resize(64);
    EXPECT_EQ(64, b.Capacity());
    EXPECT_EQ(3, b.RemainingLength());
    b.Resize(0);
    EXPECT_EQ(64, b.Capacity());
    void* p = b.LazyWrite(5);
    memcpy(p, "12345", 5);
    EXPECT_EQ("abc12345", Content(b));
}
