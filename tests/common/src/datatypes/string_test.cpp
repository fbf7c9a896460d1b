#include <gtest/gtest.h>

#include <clocale>

#include "common/src/datatypes/string.h"

// Narrow and wide forms stay in step; conversion is ISO-8859-1 on any machine.
TEST(StringForms, EmptyStringHasNoCharacters) {
    CString s("");
    EXPECT_EQ(0, s.Length());
    EXPECT_STREQ("", s.Ptr());
    EXPECT_STREQ(L"", s.WPtr());
    EXPECT_EQ(0, CString().Length());
}

TEST(StringForms, HighLatin1ByteIsTheSameCodePoint) {
    CString s("caf\xE9");
    EXPECT_EQ(4, s.Length());
    EXPECT_EQ('\xE9', s[3]);
    EXPECT_EQ(0xE9, static_cast<int>(s.WPtr()[3]));
    // Independent of the C library's locale.
    const char* saved = setlocale(LC_CTYPE, nullptr);
    std::string savedName = saved ? saved : "C";
    setlocale(LC_CTYPE, "C");
    CString t("\xFF\x80");
    EXPECT_EQ(0xFF, static_cast<int>(t.WPtr()[0]));
    EXPECT_EQ(0x80, static_cast<int>(t.WPtr()[1]));
    setlocale(LC_CTYPE, savedName.c_str());
}

TEST(StringForms, WideCharacterWithoutNarrowFormMakesAllQuestionMarks) {
    CString s(L"a\x0416" L"b");
    EXPECT_STREQ("???", s.Ptr());
    EXPECT_EQ(3, s.Length());
    EXPECT_TRUE(s == CString(L"a\x0416" L"b"));
    EXPECT_FALSE(s == CString("???"));
    EXPECT_EQ(1, s.Find(CString(L"\x0416"), 0));
    // Appending keeps the wide text; the narrow form follows.
    s += CString("c");
    EXPECT_STREQ("????", s.Ptr());
    CString ok(L"\x00E9t\x00E9");
    EXPECT_STREQ("\xE9t\xE9", ok.Ptr());
}

TEST(StringForms, CopiesShareNothing) {
    CString a("one");
    CString b(a);
    CString c;
    c = a;
    a += CString("two");
    EXPECT_STREQ("onetwo", a.Ptr());
    EXPECT_STREQ("one", b.Ptr());
    EXPECT_STREQ("one", c.Ptr());
    CString& alias = c;
    c = alias;  // self-assignment keeps the text
    EXPECT_STREQ("one", c.Ptr());
    EXPECT_STREQ("xone", ("x" + b).Ptr());
    EXPECT_STREQ("oneone", (b + c).Ptr());
}

TEST(StringCompare, OrderIsUnsignedByteOrder) {
    EXPECT_FALSE(CString("b") < CString("a"));
    EXPECT_TRUE(CString("B") < CString("a"));
    EXPECT_FALSE(CString("\xE9") < CString("z"));
    EXPECT_TRUE(CString("z") < CString("\xE9"));
    EXPECT_TRUE(CString("ab") < CString("abc"));
    EXPECT_TRUE(CString("abc") == "abc");
    EXPECT_FALSE(CString("abc") == "ABC");
    EXPECT_TRUE(CString("abc") != "abd");
}

TEST(StringSearch, FindBeforeAfterMiddle) {
    CString s("host:80");
    EXPECT_EQ(-1, s.Find("x", 0));
    EXPECT_EQ(3, s.Find("", 3));
    EXPECT_EQ(7, s.Find("", 7));
    EXPECT_EQ(-1, s.Find("", 8));
    EXPECT_EQ(4, s.Find(":", 0));
    EXPECT_EQ(-1, s.Find(":", 5));
    EXPECT_STREQ("host", s.Before(":").Ptr());
    EXPECT_STREQ("80", s.After(":").Ptr());
    EXPECT_STREQ("", CString("host").Before(":").Ptr());
    EXPECT_STREQ("", CString("host").After(":").Ptr());
    EXPECT_STREQ("Section", CString("[Section]").Middle("[", "]").Ptr());
    EXPECT_STREQ("", CString("]x[").Middle("[", "]").Ptr());
    EXPECT_STREQ("", CString("[x").Middle("[", "]").Ptr());
}

TEST(StringSearch, SubStringClipsLength) {
    CString s("abcdef");
    EXPECT_STREQ("cd", s.SubString(2, 2).Ptr());
    EXPECT_STREQ("cdef", s.SubString(2, -1).Ptr());
    EXPECT_STREQ("cdef", s.SubString(2, 100).Ptr());
    EXPECT_STREQ("", s.SubString(6, 3).Ptr());
    EXPECT_STREQ("bc", s.SubString2(1, 3).Ptr());
    EXPECT_STREQ("ef", s.Right(2).Ptr());
    EXPECT_STREQ("abcdef", s.Right(10).Ptr());
}

TEST(StringSearchDeathTest, SubStringStartOutsideTheTextStops) {
    CString s("abc");
    EXPECT_DEATH(s.SubString(4, 1), "Debug assert failed on line [0-9]+ of common/src/datatypes/string.h");
    EXPECT_DEATH(s.SubString(-1, 1), "common/src/datatypes/string.h");
}

TEST(StringEdit, ReplaceDoesNotOverlapOrRescan) {
    EXPECT_STREQ("bb", CString("aaaa").Replace("aa", "b").Ptr());
    EXPECT_STREQ("ba", CString("aaa").Replace("aa", "b").Ptr());
    EXPECT_STREQ("aaaa", CString("aa").Replace("a", "aa").Ptr());
    EXPECT_STREQ("x-y-z", CString("x, y, z").Replace(", ", "-").Ptr());
    EXPECT_STREQ("abc", CString("abc").Replace("", "x").Ptr());
}

TEST(StringEdit, SplitByDelimiter) {
    CVector<CString> v = CString("a,,b,").Split(",");
    ASSERT_EQ(3, v.Count());
    EXPECT_STREQ("a", v[0].Ptr());
    EXPECT_STREQ("", v[1].Ptr());
    EXPECT_STREQ("b", v[2].Ptr());
    EXPECT_EQ(0, CString("").Split(",").Count());
    CVector<CString> lead = CString(",a").Split(",");
    ASSERT_EQ(2, lead.Count());
    EXPECT_STREQ("", lead[0].Ptr());
    CVector<CString> multi = CString("a::b").Split("::");
    ASSERT_EQ(2, multi.Count());
    EXPECT_STREQ("b", multi[1].Ptr());
}

TEST(StringEdit, SplitIntoKeysAndValues) {
    CAssocArray<CString, CString> a = CString("x=1&y&=3&x=2&z=a=b").Split("&", "=");
    ASSERT_EQ(3, a.Count());
    EXPECT_STREQ("x", a.Key(0).Ptr());
    EXPECT_STREQ("2", a.Value(0).Ptr());
    EXPECT_STREQ("y", a.Key(1).Ptr());
    EXPECT_STREQ("", a.Value(1).Ptr());
    EXPECT_STREQ("z", a.Key(2).Ptr());
    EXPECT_STREQ("a", a.Value(2).Ptr());
}

TEST(StringConvert, ToLowerUsesLatin1CaseMapping) {
    EXPECT_STREQ("\xE9", CString("\xC9").ToLower().Ptr());
    EXPECT_STREQ("abc\xE0\xFE\xD7\xDF", CString("AbC\xC0\xDE\xD7\xDF").ToLower().Ptr());
    EXPECT_STREQ("ABC\xC0\xF7", CString("abc\xE0\xF7").ToUpper().Ptr());
    CString wide(L"A\x0416");
    EXPECT_TRUE(wide.ToLower() == CString(L"a\x0416"));
}

TEST(StringConvert, NumbersAtTheStart) {
    EXPECT_EQ(0, CString("").ToInteger());
    EXPECT_EQ(42, CString(" 42abc").ToInteger());
    EXPECT_EQ(-7, CString("-7").ToInteger());
    EXPECT_EQ(5, CString("+5").ToInteger());
    EXPECT_EQ(0, CString("abc").ToInteger());
    EXPECT_EQ(0, CString("- 7").ToInteger());
    EXPECT_EQ(2147483647, CString("99999999999").ToInteger());
    EXPECT_EQ(-2147483647 - 1, CString("-99999999999").ToInteger());
    EXPECT_EQ(255, CString("ff").ToHex());
    EXPECT_EQ(255, CString("0xFF").ToHex());
    EXPECT_EQ(-1, CString("FFFFFFFF").ToHex());
    EXPECT_EQ(0, CString("0x").ToHex());
    EXPECT_EQ(26, CString("1a\n").ToHex());
    EXPECT_EQ(4000000000u, CString("4000000000").ToUInteger());
    EXPECT_DOUBLE_EQ(1.5, CString("1.5").ToFloat());
}

TEST(StringConvert, ToStringAndHexDigits) {
    EXPECT_STREQ("00FF", ToString(255, 4).Ptr());
    EXPECT_STREQ("0A", ToString(10, 2).Ptr());
    EXPECT_STREQ("FFFFFFFF", ToString(-1, 2).Ptr());
    EXPECT_STREQ("-1", ToString(-1).Ptr());
}

TEST(StringBuffer, GetBufferThenReleaseBufferSetsTheValue) {
    CString s("old");
    char* p = s.GetBuffer(16);
    EXPECT_STREQ("old", s.Ptr());
    strcpy(p, "n\xE9w");
    s.ReleaseBuffer();
    EXPECT_STREQ("n\xE9w", s.Ptr());
    EXPECT_EQ(0xE9, static_cast<int>(s.WPtr()[1]));
}

TEST(StringFormat, SprintfReturnsLongResultsWhole) {
    CString s = Sprintf("%s|%d", std::string(5000, 'x').c_str(), 7);
    EXPECT_EQ(5002, s.Length());
    EXPECT_EQ('7', s[5001]);
    EXPECT_STREQ("a=5", Sprintf("%s=%d", "a", 5).Ptr());
}

TEST(StringFormatDeathTest, SprintfThatCannotBeProducedStops) {
    // A wide argument with no narrow form makes the C library refuse both passes.
    EXPECT_DEATH(Sprintf("%ls", L"\x0416"),
                 "Debug assert failed on line [0-9]+ of common/src/datatypes/string.h. \\[Sprintf: output cut\\]");
}

TEST(StringHelpers, ChopRemovesOneLineEnd) {
    const char* cases[][2] = {{"line\r\n", "line"}, {"line\n", "line"}, {"line\r", "line"},
                              {"\n", ""},           {"", ""},           {"a\n\n", "a\n"}};
    for (auto& c : cases) {
        char buf[16];
        strcpy(buf, c[0]);
        chop(buf);
        EXPECT_STREQ(c[1], buf) << "input " << c[0];
    }
}

TEST(StringHelpers, IsNumericAcceptsDigitsOnly) {
    EXPECT_TRUE(IsNumeric(""));
    EXPECT_TRUE(IsNumeric("0123"));
    EXPECT_FALSE(IsNumeric("-1"));
    EXPECT_FALSE(IsNumeric("1 "));
}

TEST(StringAllocator, ContainersDrawFromTheHeapLayer) {
    std::vector<int, CThreadSafeAllocator<int>> v;
    for (int i = 0; i < 1000; i++) v.push_back(i);
    EXPECT_EQ(499500, [&] { int sum = 0; for (int x : v) sum += x; return sum; }());
    EXPECT_TRUE(CThreadSafeAllocator<int>() == CThreadSafeAllocator<char>());
}
