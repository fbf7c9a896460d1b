// The database layer against a real MariaDB server: the private one that
// scripts/testdb.sh starts for the test command, found through the NB_TEST_DB_*
// variables. Without them, or without an answering server, these tests fail.
// Each test works in a database of its own, so tests can run in parallel.
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <cctype>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/src/cbase.h"
#include "common/src/database.h"
#include "tests/support/waitfor.h"

namespace {

typedef std::vector<std::string> Strings;
typedef CAssocArray<CString, CString> Row_t;

// Every statement handed to the client library, with the id of the server
// connection it went to.
std::vector<std::pair<unsigned long, std::string>> g_Queries;

}  // namespace

// The test binary's own mysql_query stands in front of the client library's:
// it records the statement text byte for byte and passes the call on.
extern "C" int mysql_query(MYSQL* mysql, const char* query) {
    typedef int (*QueryFn_t)(MYSQL*, const char*);
    static QueryFn_t next = reinterpret_cast<QueryFn_t>(dlsym(RTLD_NEXT, "mysql_query"));
    g_Queries.emplace_back(mysql_thread_id(mysql), query);
    return next(mysql, query);
}

namespace {

std::string Env(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

// The log lines written while it lives.
Strings g_Lines;
struct LogCapture {
    LogCapture() {
        g_Lines.clear();
        Log_SetCallback([](const char* text, const char*) {
            fprintf(stderr, "%s\n", text);
            g_Lines.push_back(text);
        });
    }
    ~LogCapture() {
        Log_SetCallback([](const char* text, const char*) { fprintf(stderr, "%s\n", text); });
    }
    static Strings Starting(const std::string& prefix) {
        Strings lines;
        for (const std::string& line : g_Lines) {
            if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
        }
        return lines;
    }
};

Row_t Row(std::initializer_list<std::pair<const char*, const char*>> entries) {
    Row_t row;
    for (const auto& e : entries) row[e.first] = e.second;
    return row;
}
CAssocArray<CString, DBFieldDesc_t> Fields(std::initializer_list<std::pair<const char*, DBFieldDesc_t>> entries) {
    CAssocArray<CString, DBFieldDesc_t> fields;
    for (const auto& e : entries) fields[e.first] = e.second;
    return fields;
}
// Table t's: id INT, name VARCHAR(32).
CAssocArray<CString, DBFieldDesc_t> FieldsT() { return Fields({{"id", {DBFT_INT, 0}}, {"name", {DBFT_TEXT, 32}}}); }

// "id,name|1,x": cells joined by ",", rows by "|".
std::string Dump(const CTable<CString>& table) {
    std::string text;
    for (int r = 0; r < table.Rows(); r++) {
        if (r > 0) text += "|";
        for (int c = 0; c < table[r].Count(); c++) text += (c > 0 ? "," : "") + std::string(table[r][c].Ptr());
    }
    return text;
}

class Database : public testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"NB_TEST_DB_HOST", "NB_TEST_DB_PORT", "NB_TEST_DB_USER", "NB_TEST_DB_PASSWORD",
                                 "NB_TEST_DB_NAME"}) {
            ASSERT_NE("", Env(name)) << name << " is not set: scripts/test.sh starts the server (scripts/testdb.sh)";
        }
        m_Name = Env("NB_TEST_DB_NAME") + "_";
        for (const char* p = testing::UnitTest::GetInstance()->current_test_info()->name(); *p; p++)
            m_Name += static_cast<char>(tolower(static_cast<unsigned char>(*p)));
        m_Name = m_Name.substr(0, 64);
        ASSERT_TRUE(Connect(m_Probe, "")) << m_Probe.GetErrorString().Ptr();
        ASSERT_TRUE(m_Probe.RunQuery(("DROP DATABASE IF EXISTS `" + m_Name + "`").c_str(), nullptr, "", true));
        ASSERT_TRUE(m_Probe.RunQuery(("CREATE DATABASE `" + m_Name + "`").c_str(), nullptr, "", true));
        ASSERT_TRUE(Connect(m_Db, m_Name.c_str())) << m_Db.GetErrorString().Ptr();
        m_ThreadId = Select(m_Db, "SELECT CONNECTION_ID()");
        g_Queries.clear();
    }
    void TearDown() override { m_Probe.RunQuery(("DROP DATABASE IF EXISTS `" + m_Name + "`").c_str(), nullptr, "", true); }

    bool Connect(CDatabase& db, CString database, CString password = Env("NB_TEST_DB_PASSWORD").c_str()) {
        return db.Connect(Env("NB_TEST_DB_HOST").c_str(), atoi(Env("NB_TEST_DB_PORT").c_str()),
                          Env("NB_TEST_DB_USER").c_str(), password, database);
    }
    bool Sql(const char* statement) { return m_Db.RunQuery(statement, nullptr, "", true); }
    // The rows after the header row, or "failed".
    static std::string Select(CDatabase& db, const std::string& query, const char* nullchar = "") {
        CTable<CString> rows;
        if (!db.RunQuery(query.c_str(), &rows, nullchar, true)) return "failed";
        std::string text = Dump(rows);
        return text.find('|') == std::string::npos ? "" : text.substr(text.find('|') + 1);
    }
    // The statements m_Db sent since the last call, in order.
    Strings Sent() {
        Strings sent;
        for (const auto& q : g_Queries) {
            if (std::to_string(q.first) == m_ThreadId) sent.push_back(q.second);
        }
        g_Queries.clear();
        return sent;
    }

    std::string m_Name, m_ThreadId;
    CDatabase m_Probe, m_Db;
};

TEST_F(Database, EachOperationSendsItsStatementText) {
    CDatabaseTable* t = nullptr;
    CDatabaseTable* odd = nullptr;
    CTable<CString> rows;
    struct Step {
        std::function<bool()> op;
        Strings sent;
    } steps[] = {
        {[&] { return m_Db.CreateTable("t", FieldsT(), &t); },
         {"CREATE TABLE `t` ( `id` INT NOT NULL , `name` VARCHAR( 32 ) NOT NULL  ) ENGINE = MYISAM",
          "SHOW TABLES LIKE 't'"}},
        {[&] { return t->Insert(Row({{"id", "1"}, {"name", "O'Brien"}})); },
         {"INSERT INTO `t` ( `id`, `name` ) VALUES ( '1', 'O\\'Brien' )"}},
        {[&] { return t->Search("name", "O'Brien", rows) && Dump(rows) == "id,name|1,O'Brien"; },
         {"SELECT * FROM `t` WHERE `name` = 'O\\'Brien'"}},
        {[&] { return t->Search(Row({{"id", "1"}, {"name", "x"}}), rows) && Dump(rows) == "id,name"; },
         {"SELECT * FROM `t` WHERE `id` = '1' AND `name` = 'x'"}},
        {[&] { return t->Read(rows) && rows.Rows() == 2; }, {"SELECT * FROM `t`"}},
        {[&] { return t->Remove("id", "2"); }, {"DELETE FROM `t` WHERE `id` = '2'"}},  // no row: still true
        {[&] { return t->Remove(Row({{"id", "1"}, {"name", "a\\b"}})); },
         {"DELETE FROM `t` WHERE `id` = '1' AND `name` = 'a\\\\b'"}},
        {[&] { return !m_Db.FindTable("user_1%"); }, {"SHOW TABLES LIKE 'user\\\\_1\\\\%'"}},
        {[&] { return m_Db.OpenTable("gone") == nullptr; }, {"SHOW TABLES LIKE 'gone'"}},
        {[&] { return m_Db.RemoveTable("gone"); }, {"SHOW TABLES LIKE 'gone'"}},
        {[&] { return m_Db.RemoveTable("t") && !m_Db.FindTable("t"); },
         {"SHOW TABLES LIKE 't'", "DROP TABLE `t`", "SHOW TABLES LIKE 't'"}},
        {[&] { return m_Db.Begin() && m_Db.Commit() && m_Db.RollBack(); }, {"BEGIN;", "COMMIT;", "ROLLBACK;"}},
        // Back-quotes inside names are doubled.
        {[&] { return m_Db.CreateTable("we`ird", Fields({{"a`b", {DBFT_INT, 0}}}), &odd); },
         {"CREATE TABLE `we``ird` ( `a``b` INT NOT NULL  ) ENGINE = MYISAM", "SHOW TABLES LIKE 'we`ird'"}},
        {[&] { return odd->Insert(Row({{"a`b", "7"}})); }, {"INSERT INTO `we``ird` ( `a``b` ) VALUES ( '7' )"}},
        {[&] { return odd->Search("a`b", "7", rows) && Dump(rows) == "a`b|7"; },
         {"SELECT * FROM `we``ird` WHERE `a``b` = '7'"}},
        {[&] { return m_Db.RemoveTable("we`ird"); }, {"SHOW TABLES LIKE 'we`ird'", "DROP TABLE `we``ird`"}},
    };
    for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); i++) {
        EXPECT_TRUE(steps[i].op()) << "step " << i;
        EXPECT_EQ(steps[i].sent, Sent()) << "step " << i;
    }
    m_Db.CloseTable(t);
    m_Db.CloseTable(odd);
    m_Db.CloseTable(nullptr);
}

TEST_F(Database, FindTableAnswersForExactlyTheNamedTable) {
    for (const char* name : {"userX1", "a\\b", "50%"}) ASSERT_TRUE(m_Db.CreateTable(name, FieldsT(), nullptr)) << name;
    for (const char* name : {"user_1", "user%", "a_b", "a\\\\b", "5%", "5_%"}) EXPECT_FALSE(m_Db.FindTable(name)) << name;
    for (const char* name : {"userX1", "a\\b", "50%"}) EXPECT_TRUE(m_Db.FindTable(name)) << name;
    ASSERT_TRUE(m_Db.CreateTable("user_1", FieldsT(), nullptr));
    EXPECT_TRUE(m_Db.FindTable("user_1"));
}

TEST_F(Database, ResultsHaveTheHeaderRowFirstAndNullCellsAsTheNullText) {
    CDatabaseTable* t = nullptr;
    CTable<CString> rows;
    ASSERT_TRUE(m_Db.CreateTable("t", FieldsT(), &t) && t->Read(rows));
    EXPECT_EQ("id,name", Dump(rows));  // an empty table
    ASSERT_TRUE(Sql("CREATE TABLE n (a INT, b VARCHAR(4)) ENGINE = InnoDB"));
    ASSERT_TRUE(Sql("INSERT INTO n VALUES (NULL, 'x'), (2, NULL)"));
    CDatabaseTable* n = m_Db.OpenTable("n");
    ASSERT_TRUE(n != nullptr && n->Read(rows));
    EXPECT_EQ("a,b|,x|2,", Dump(rows));
    ASSERT_TRUE(m_Db.RunQuery("SELECT a, b AS bee FROM n ORDER BY a", &rows, "-", true));
    EXPECT_EQ("a,bee|-,x|2,-", Dump(rows));
    m_Db.CloseTable(t);
    m_Db.CloseTable(n);
}

TEST_F(Database, EveryByteFrom1To255IsStoredAndReadBackUnchanged) {
    CDatabaseTable* t = nullptr;
    ASSERT_TRUE(m_Db.CreateTable("bytes", Fields({{"v", {DBFT_TEXT, 255}}}), &t));
    std::string all, hex;
    for (int b = 1; b <= 255; b++) all += static_cast<char>(b);
    for (int b = 1; b <= 255; b++) hex += ToString(b, 2).Ptr();
    ASSERT_TRUE(t->Insert(Row({{"v", all.c_str()}})));
    CTable<CString> rows;
    ASSERT_TRUE(t->Search("v", all.c_str(), rows));
    ASSERT_EQ(2, rows.Rows());
    EXPECT_EQ(all, std::string(rows[1][0].Ptr()));
    // The server holds the 255 characters themselves, not the bytes taken as UTF-8.
    EXPECT_EQ("255," + hex, Select(m_Db, "SELECT CHAR_LENGTH(v), HEX(CONVERT(v USING latin1)) FROM bytes"));
    m_Db.CloseTable(t);
}

TEST_F(Database, LastInsertionIDIsTheNewAutoIncrementKey) {
    ASSERT_TRUE(Sql("CREATE TABLE k (id INT AUTO_INCREMENT PRIMARY KEY, v VARCHAR(8) NOT NULL)"));
    CDatabaseTable k("k", &m_Db);
    for (int expected : {1, 2, 3}) {
        ASSERT_TRUE(k.Insert(Row({{"v", "x"}})));
        EXPECT_EQ(expected, m_Db.LastInsertionID());
    }
    ASSERT_TRUE(k.Insert(Row({{"id", "40"}, {"v", "y"}})));
    EXPECT_EQ(40, m_Db.LastInsertionID());
}

TEST_F(Database, RollBackUndoesAnInsertAndCommitKeepsIt) {
    ASSERT_TRUE(Sql("CREATE TABLE tx (v INT NOT NULL) ENGINE = InnoDB"));
    CDatabaseTable tx("tx", &m_Db);
    ASSERT_TRUE(m_Db.Begin() && tx.Insert(Row({{"v", "1"}})));
    EXPECT_EQ("1", Select(m_Db, "SELECT * FROM tx"));
    ASSERT_TRUE(m_Db.RollBack());
    EXPECT_EQ("", Select(m_Db, "SELECT * FROM tx"));
    ASSERT_TRUE(m_Db.Begin() && tx.Insert(Row({{"v", "2"}})) && m_Db.Commit());
    EXPECT_EQ("2", Select(m_Probe, "SELECT * FROM `" + m_Name + "`.tx"));
}

TEST_F(Database, ReconnectsAfterTheServerEndsTheConnection) {
    ASSERT_TRUE(m_Probe.RunQuery(("KILL " + m_ThreadId).c_str(), nullptr, "", true));
    // Gone once the server has closed its end.
    ASSERT_TRUE(WaitFor([&] {
        return Select(m_Probe, "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + m_ThreadId) == "0";
    }));
    std::string id = Select(m_Db, "SELECT CONNECTION_ID()");
    EXPECT_NE("failed", id) << m_Db.GetErrorString().Ptr();
    EXPECT_NE(m_ThreadId, id);
    EXPECT_EQ("latin1,latin1", Select(m_Db, "SELECT @@character_set_connection, @@character_set_results"));
}

TEST_F(Database, ConnectWithAWrongPasswordFailsWithTheServersReason) {
    CDatabase db;
    EXPECT_FALSE(Connect(db, m_Name.c_str(), "wrong"));
    EXPECT_NE(-1, db.GetErrorString().Find("Access denied", 0)) << db.GetErrorString().Ptr();
    EXPECT_EQ("", std::string(m_Db.GetErrorString().Ptr()));
}

TEST_F(Database, FailedStatementsReturnFalseAndAreLogged) {
    ASSERT_TRUE(m_Db.CreateTable("t", FieldsT(), nullptr));
    CDatabaseTable t("t", &m_Db), missing("missing", &m_Db);
    CTable<CString> rows;
    rows.Insert(CVector<CString>());
    struct Case {
        const char* what;
        std::function<bool()> op;
        int logged;  // "MYSQL: " lines
    } cases[] = {
        {"insert into a missing table", [&] { return missing.Insert(Row({{"v", "1"}})); }, 2},
        {"search a missing table", [&] { return missing.Search("v", "1", rows) || rows.Rows() != 0; }, 2},
        {"read a missing table", [&] { return missing.Read(rows); }, 2},
        {"remove without conditions", [&] { return t.Remove(Row_t()); }, 2},
        {"search without conditions", [&] { return t.Search(Row_t(), rows); }, 2},
        {"create an existing table", [&] { return m_Db.CreateTable("t", FieldsT(), nullptr); }, 2},
        {"quiet RunQuery", [&] { return m_Db.RunQuery("SELEC 1", nullptr, "", false); }, 0},
        {"RunQuery with errors shown", [&] { return Sql("SELEC 1"); }, 1},
        {"a result table for a statement without result set",
         [&] { return m_Db.RunQuery("DO 1", &rows, "", true) || rows.Rows() != 0; }, 0},
    };
    for (const Case& c : cases) {
        LogCapture log;
        EXPECT_FALSE(c.op()) << c.what;
        Strings errors = log.Starting("MYSQL: ");
        EXPECT_EQ(c.logged, static_cast<int>(errors.size())) << c.what;
        if (c.logged == 2) {
            EXPECT_EQ(errors[0], errors[1]) << c.what;
        }
    }
    // A SELECT run without a result table leaves the connection ready.
    EXPECT_TRUE(Sql("SELECT * FROM t") && Sql("DO 1"));
}

TEST_F(Database, BlobTextAndEscaping) {
    CBuffer bytes;
    CString hex;
    m_Db.GenerateTextForBlob(bytes, &hex);
    EXPECT_EQ("0x", std::string(hex.Ptr()));
    const unsigned char raw[] = {0x00, 0xAB, '\'', '\\', '"', '\n', 0x1A, 'z'};
    bytes.WriteData(raw, 2);
    m_Db.GenerateTextForBlob(bytes, &hex);
    EXPECT_EQ("0x00AB", std::string(hex.Ptr()));

    bytes.WriteData(raw + 2, sizeof(raw) - 2);
    CBuffer text;
    text.WriteData("old", 3);
    LogCapture log;
    m_Db.GenerateTextForBlob2(bytes, &text);
    EXPECT_EQ(1u, log.Starting("length=8.. new text length=14").size());
    EXPECT_EQ(std::string("\\0\xAB\\'\\\\\\\"\\n\\Zz", 14),
              std::string(static_cast<const char*>(text.Data()), static_cast<size_t>(text.Length())));
    EXPECT_EQ("O\\'Brien \\\\ \\\"", std::string(m_Db.EscapeString("O'Brien \\ \"").Ptr()));
}

TEST(DatabaseDeathTest, AFieldTypeOutsideTheKnownKindsIsFatal) {
    CDatabase db;
    EXPECT_DEATH(db.CreateTable("t", Fields({{"x", {static_cast<DBFieldType_t>(7), 0}}}), nullptr),
                 "Debug assert failed");
}

}  // namespace
