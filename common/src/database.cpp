#include "common/src/database.h"

#include <cstdint>
#include <string>

#include "common/src/cbase.h"
#include "common/src/osutils.h"

namespace {

void LogError(CDatabase* pDatabase) { Log_PrintAll("MYSQL: %s", pDatabase->GetErrorString().Ptr()); }

// Reads and frees every result set still pending on the connection, so the
// next statement finds it ready. False when reading one failed.
bool DropResults(MYSQL* pMysql) {
    bool ok = true;
    while (mysql_more_results(pMysql)) {
        int status = mysql_next_result(pMysql);
        if (status != 0) return ok && status < 0;
        MYSQL_RES* res = mysql_store_result(pMysql);
        if (res != nullptr) mysql_free_result(res);
        else if (mysql_field_count(pMysql) != 0) ok = false;
    }
    return ok;
}

}  // namespace

CDatabase::CDatabase() {
    OS_Lock();
    MYSQL* p = mysql_init(&m_Mysql);
    OS_UnLock();
    OS_ASSERTMSG(p != nullptr, "mysql_init failed");
}

CDatabase::~CDatabase() {
    OS_Lock();
    mysql_close(&m_Mysql);
    OS_UnLock();
}

bool CDatabase::Connect(CString host, int port, CString username, CString password, CString database) {
    // Set before connecting: the handshake itself picks latin1, and a
    // reconnection uses the same options.
    mysql_options(&m_Mysql, MYSQL_SET_CHARSET_NAME, "latin1");
    if (mysql_real_connect(&m_Mysql, host.Length() > 0 ? host.Ptr() : nullptr, username.Ptr(), password.Ptr(),
                           database.Length() > 0 ? database.Ptr() : nullptr, static_cast<unsigned int>(port),
                           nullptr, 0) == nullptr) {
        return false;
    }
    my_bool reconnect = 1;
    mysql_options(&m_Mysql, MYSQL_OPT_RECONNECT, &reconnect);
    return true;
}

int CDatabase::LastInsertionID() { return static_cast<int>(mysql_insert_id(&m_Mysql)); }

CString CDatabase::GetErrorString() {
    const char* error = mysql_error(&m_Mysql);
    return CString(error != nullptr ? error : "");
}

CString CDatabase::EscapeString(CString str) {
    CString result;
    char* out = result.GetBuffer(2 * str.Length() + 1);
    mysql_real_escape_string(&m_Mysql, out, str.Ptr(), static_cast<unsigned long>(str.Length()));
    result.ReleaseBuffer();
    return result;
}

void CDatabase::GenerateTextForBlob(const CBuffer& buffer, CString* string) {
    static const char kDigits[] = "0123456789ABCDEF";
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer.Data());
    std::string text("0x");
    text.reserve(2 + 2 * static_cast<size_t>(buffer.Length()));
    for (int i = 0; i < buffer.Length(); i++) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    *string = CString(text.c_str());
}

void CDatabase::GenerateTextForBlob2(const CBuffer& buffer, CBuffer* text) {
    int length = buffer.Length();
    const char* source = length > 0 ? static_cast<const char*>(buffer.Data()) : "";
    text->Empty();
    char* dest = static_cast<char*>(text->LazyWrite(2 * length + 1));
    Log_PrintAll("%x %x", static_cast<unsigned int>(reinterpret_cast<uintptr_t>(source)),
                 static_cast<unsigned int>(reinterpret_cast<uintptr_t>(dest)));
    int written = static_cast<int>(mysql_real_escape_string(&m_Mysql, dest, source, static_cast<unsigned long>(length)));
    // The content is the escaped bytes, without the terminating zero.
    text->EraseData(2 * length + 1 - written);
    Log_PrintAll("length=%d.. new text length=%d", length, written);
}

bool CDatabase::RunQuery(CString query, CTable<CString>* result, CString nullchar, bool bShowError) {
    if (result != nullptr) result->SetSize(0, 0);
    if (mysql_query(&m_Mysql, query.Ptr()) != 0) {
        if (bShowError) LogError(this);
        return false;
    }
    MYSQL_RES* res = mysql_store_result(&m_Mysql);
    // A statement with a result set whose reading failed (the connection
    // broke on the way) has failed too.
    bool readFailed = res == nullptr && mysql_field_count(&m_Mysql) != 0;
    if (readFailed && bShowError) LogError(this);
    if (result == nullptr || res == nullptr) {
        if (res != nullptr) mysql_free_result(res);
        bool ok = DropResults(&m_Mysql) && !readFailed;
        return result == nullptr && ok;
    }

    CVector<CString> header;
    while (MYSQL_FIELD* field = mysql_fetch_field(res)) header.AddToTail(CString(field->name));
    result->Insert(header);
    unsigned int columns = mysql_num_fields(res);
    my_ulonglong rows = mysql_num_rows(res);
    for (my_ulonglong r = 0; r < rows; r++) {
        MYSQL_ROW cells = mysql_fetch_row(res);
        if (cells == nullptr) break;
        CVector<CString> row;
        for (unsigned int c = 0; c < columns; c++) row.AddToTail(cells[c] != nullptr ? CString(cells[c]) : nullchar);
        result->Insert(row);
    }
    mysql_free_result(res);
    DropResults(&m_Mysql);
    return true;
}

bool CDatabase::Begin() { return RunQuery("BEGIN;", nullptr, "", true); }
bool CDatabase::Commit() { return RunQuery("COMMIT;", nullptr, "", true); }
bool CDatabase::RollBack() { return RunQuery("ROLLBACK;", nullptr, "", true); }

bool CDatabase::LookUpTable(CString tableName, bool* pFound) {
    // The name as a LIKE pattern that matches only itself, then escaped as a
    // string: "user_1" is sent as 'user\\_1'.
    std::string pattern;
    for (const char* p = tableName.Ptr(); *p != 0; p++) {
        if (*p == '\\' || *p == '_' || *p == '%') pattern += '\\';
        pattern += *p;
    }
    CTable<CString> result;
    *pFound = false;
    if (!RunQuery("SHOW TABLES LIKE '" + EscapeString(pattern.c_str()) + "'", &result, "", true)) return false;
    *pFound = result.Rows() > 1;
    return true;
}

bool CDatabase::FindTable(CString tableName) {
    bool found;
    return LookUpTable(tableName, &found) && found;
}

CDatabaseTable* CDatabase::OpenTable(CString tableName) {
    return FindTable(tableName) ? new CDatabaseTable(tableName, this) : nullptr;
}

void CDatabase::CloseTable(CDatabaseTable* pDatabaseTable) { delete pDatabaseTable; }

bool CDatabase::CreateTable(CString tableName, const CAssocArray<CString, DBFieldDesc_t>& fields,
                            CDatabaseTable** pDatabaseTable) {
    CString columns;
    for (int i = 0; i < fields.Count(); i++) {
        if (i > 0) columns += ", ";
        columns += QuoteName(fields.Key(i));
        const DBFieldDesc_t& desc = fields.Value(i);
        switch (desc.type) {
            case DBFT_INT: columns += " INT NOT NULL "; break;
            case DBFT_TEXT: columns += Sprintf(" VARCHAR( %d ) NOT NULL ", desc.length); break;
            default: OS_ASSERTMSG(false, "CreateTable: field type %d", static_cast<int>(desc.type));
        }
    }
    if (!RunQuery("CREATE TABLE " + QuoteName(tableName) + " ( " + columns + " ) ENGINE = MYISAM", nullptr, "", true)) {
        LogError(this);
        return false;
    }
    if (pDatabaseTable == nullptr) return true;
    *pDatabaseTable = OpenTable(tableName);
    return *pDatabaseTable != nullptr;
}

bool CDatabase::RemoveTable(CString tableName) {
    bool found;
    if (!LookUpTable(tableName, &found)) return false;
    if (!found) return true;
    if (!RunQuery("DROP TABLE " + QuoteName(tableName), nullptr, "", true)) {
        LogError(this);
        return false;
    }
    return true;
}

CString CDatabase::QuoteName(CString name) { return "`" + name.Replace("`", "``") + "`"; }

CDatabaseTable::CDatabaseTable(CString tableName, CDatabase* pDatabase)
    : m_pDatabase(pDatabase), m_TableName(tableName) {}

bool CDatabaseTable::Insert(const CAssocArray<CString, CString>& row) {
    CString names, values;
    for (int i = 0; i < row.Count(); i++) {
        const char* after = i + 1 < row.Count() ? "," : " ";
        names += " " + CDatabase::QuoteName(row.Key(i)) + after;
        values += " '" + m_pDatabase->EscapeString(row.Value(i)) + "'" + after;
    }
    return Run("INSERT INTO " + CDatabase::QuoteName(m_TableName) + " (" + names + ") VALUES (" + values + ")",
               nullptr);
}

bool CDatabaseTable::Remove(const CAssocArray<CString, CString>& filter) {
    return Run("DELETE FROM " + CDatabase::QuoteName(m_TableName) + " WHERE " + Conditions(filter), nullptr);
}

bool CDatabaseTable::Remove(CString field, CString value) {
    CAssocArray<CString, CString> filter;
    filter[field] = value;
    return Remove(filter);
}

bool CDatabaseTable::Search(const CAssocArray<CString, CString>& filter, CTable<CString>& result) {
    return Run("SELECT * FROM " + CDatabase::QuoteName(m_TableName) + " WHERE " + Conditions(filter), &result);
}

bool CDatabaseTable::Search(CString field, CString value, CTable<CString>& result) {
    CAssocArray<CString, CString> filter;
    filter[field] = value;
    return Search(filter, result);
}

bool CDatabaseTable::Read(CTable<CString>& result) {
    return Run("SELECT * FROM " + CDatabase::QuoteName(m_TableName), &result);
}

CString CDatabaseTable::Conditions(const CAssocArray<CString, CString>& filter) {
    CString conditions;
    for (int i = 0; i < filter.Count(); i++) {
        if (i > 0) conditions += " AND ";
        conditions += CDatabase::QuoteName(filter.Key(i)) + " = '" + m_pDatabase->EscapeString(filter.Value(i)) + "'";
    }
    return conditions;
}

bool CDatabaseTable::Run(const CString& statement, CTable<CString>* result) {
    if (m_pDatabase->RunQuery(statement, result, "", true)) return true;
    LogError(m_pDatabase);
    return false;
}
