#include <gtest/gtest.h>

#include "common/src/iniparser.h"
#include "tests/support/process.h"

namespace {

IniDocument_t Parse(std::initializer_list<const char*> lines, bool filter = true) {
    CVector<CString> v;
    for (const char* l : lines) v.AddToTail(l);
    IniDocument_t doc;
    EXPECT_TRUE(CINIParser::Read(v, doc, filter));
    return doc;
}

}  // namespace

TEST(IniParse, KeysBeforeAnyHeaderBelongToNull) {
    IniDocument_t doc = Parse({"a=1"});
    ASSERT_EQ(1, doc.Count());
    EXPECT_STREQ("null", doc.Key(0).Ptr());
    EXPECT_STREQ("1", doc["null"]["a"].Ptr());
}

TEST(IniParse, SemicolonCommentsOnlyWhenFiltering) {
    IniDocument_t doc = Parse({"[ Server ]", "Port = 5000 ; comment"}, true);
    EXPECT_STREQ("5000", doc["Server"]["Port"].Ptr());
    IniDocument_t raw = Parse({"[ Server ]", "Port = 5000 ; comment"}, false);
    EXPECT_STREQ("5000 ; comment", raw["Server"]["Port"].Ptr());
}

TEST(IniParse, HashAlwaysStartsAComment) {
    EXPECT_STREQ("x", Parse({"url = x#y"}, true)["null"]["url"].Ptr());
    EXPECT_STREQ("x", Parse({"url = x#y"}, false)["null"]["url"].Ptr());
    EXPECT_EQ(0, Parse({"# [S]", "#k=v", "; j=1"}).Count());
}

TEST(IniParse, ValueKeepsFurtherEqualsAndKeyKeepsTabs) {
    IniDocument_t doc = Parse({"k = a = b", "\tk = v", " = empty key"});
    EXPECT_STREQ("a = b", doc["null"]["k"].Ptr());
    EXPECT_STREQ("v", doc["null"]["\tk"].Ptr());
    EXPECT_STREQ("empty key", doc["null"][""].Ptr());
}

TEST(IniParse, BracketsMakeAHeaderWhereverTheyAre) {
    IniDocument_t doc = Parse({"key=[x]", "a=1", "]x[", "b=2"});
    EXPECT_EQ(-1, doc["null"].FindKey("key"));
    EXPECT_STREQ("1", doc["x"]["a"].Ptr());
    EXPECT_STREQ("2", doc["x"]["b"].Ptr());  // "]x[" is neither header nor setting
}

TEST(IniParse, RepeatedSectionsAndKeysKeepTheirFirstPlace) {
    IniDocument_t doc = Parse({"[A]", "k=1", "j=0", "[B]", "m=1", "[A]", "k=2"});
    ASSERT_EQ(2, doc.Count());
    EXPECT_STREQ("A", doc.Key(0).Ptr());
    EXPECT_STREQ("k", doc["A"].Key(0).Ptr());
    EXPECT_STREQ("2", doc["A"]["k"].Ptr());
    EXPECT_EQ(2, doc["A"].Count());
}

TEST(IniParse, HeaderWithoutKeysLeavesNoSection) {
    IniDocument_t doc = Parse({"[Empty]", "[Full]", "a=1"});
    EXPECT_EQ(-1, doc.FindKey("Empty"));
    EXPECT_EQ(0, doc.FindKey("Full"));
}

TEST(IniFile, CrLfFilesParseLikeLfFiles) {
    std::string dir = MakeTempDir();
    std::string crlf = dir + "/crlf.ini", lf = dir + "/lf.ini";
    WriteFile(crlf, "[ProxyServer]\r\nPort = 27900\r\n[X]\r\nname = a b \r\n");
    WriteFile(lf, "[ProxyServer]\nPort = 27900\n[X]\nname = a b \n");
    IniDocument_t a, b;
    ASSERT_TRUE(CINIParser::Read(crlf.c_str(), a, true));
    ASSERT_TRUE(CINIParser::Read(lf.c_str(), b, true));
    EXPECT_STREQ("27900", a["ProxyServer"]["Port"].Ptr());
    EXPECT_STREQ("a b", a["X"]["name"].Ptr());
    ASSERT_EQ(b.Count(), a.Count());
    for (int i = 0; i < a.Count(); i++) EXPECT_STREQ(b.Value(i).Join("|", ":").Ptr(), a.Value(i).Join("|", ":").Ptr());
    RemoveTree(dir);
}

TEST(IniFile, MissingFileLeavesTheDocumentAlone) {
    IniDocument_t doc;
    doc["keep"]["me"] = "1";
    EXPECT_FALSE(CINIParser::Read("/nonexistent/natbridged.ini", doc, true));
    EXPECT_STREQ("1", doc["keep"]["me"].Ptr());
}

TEST(IniFile, WriteThenReadGivesTheDocumentBack) {
    std::string dir = MakeTempDir();
    std::string path = dir + "/out.ini";
    IniDocument_t doc;
    doc["S"]["a"] = "1";
    ASSERT_TRUE(CINIParser::Write(path.c_str(), doc));
    EXPECT_EQ("[S]\na = 1\n\n", ReadFile(path));
    doc["null"]["x"] = "y z";
    doc["T"]["k"] = "";
    ASSERT_TRUE(CINIParser::Write(path.c_str(), doc));
    IniDocument_t back;
    ASSERT_TRUE(CINIParser::Read(path.c_str(), back, true));
    ASSERT_EQ(3, back.Count());
    EXPECT_STREQ("T", back.Key(2).Ptr());
    EXPECT_STREQ("y z", back["null"]["x"].Ptr());
    EXPECT_STREQ("", back["T"]["k"].Ptr());
    EXPECT_EQ(1, back["T"].Count());
    EXPECT_FALSE(CINIParser::Write((dir + "/no/such.ini").c_str(), doc));
    RemoveTree(dir);
}

TEST(IniParse, StripWhiteSpaceRemovesBlanksOnly) {
    EXPECT_STREQ("a b", CINIParser::StripWhiteSpace("  a b  ").Ptr());
    EXPECT_STREQ("\ta\t", CINIParser::StripWhiteSpace(" \ta\t ").Ptr());
    EXPECT_STREQ("", CINIParser::StripWhiteSpace("   ").Ptr());
}

TEST(IniParseDeathTest, ReadingABufferIsNotAvailable) {
    CBuffer b;
    IniDocument_t doc;
    EXPECT_DEATH(CINIParser::Read(b, doc, true), "Debug assert failed on line [0-9]+ of common/src/iniparser.cpp");
}
