// Table access over one MySQL (MariaDB) server connection. Every value
// travels as text: values are escaped by the client library and put between
// single quotes, table and field names between back-quotes (a back-quote
// inside a name doubled). Results come back as CTable<CString>: row 0 the
// column names, then one row per result row.
//
// The connection speaks latin1, the framework's narrow character set, so the
// bytes 0x01-0xFF of a CString are stored and read back unchanged. The client
// library reconnects by itself after a lost connection.
//
// Threads: a CDatabase and its table handles are used by one thread at a
// time. Only construction and destruction take the process-wide lock
// (OS_Lock), since the client library's set-up and teardown are not safe to
// run concurrently.
#ifndef NB_COMMON_DATABASE_H
#define NB_COMMON_DATABASE_H

#include <mysql.h>

#include "common/src/datatypes/assocarray.h"
#include "common/src/datatypes/buffer.h"
#include "common/src/datatypes/string.h"
#include "common/src/datatypes/table.h"

class CDatabaseTable;

// Column kinds of CreateTable. Stored as an int, so any other value a caller
// puts there is well-defined and meets CreateTable's assertion.
enum DBFieldType_t : int {
    DBFT_INT = 0,   // " INT NOT NULL "
    DBFT_TEXT = 1,  // " VARCHAR( length ) NOT NULL "
};

struct DBFieldDesc_t {
    DBFieldType_t type;
    int length;  // VARCHAR length, DBFT_TEXT only
};

// One server connection. Owns the client library's connection structure and
// the table handles it hands out until they are given to CloseTable.
class CDatabase {
public:
    CDatabase();
    ~CDatabase();

    // Once. False when the server cannot be reached or refuses the login;
    // GetErrorString then says why. Automatic reconnection is on afterwards.
    bool Connect(CString host, int port, CString username, CString password, CString database);
    // Nothing: the destructor closes the connection.
    void Disconnect() {}

    // The AUTO_INCREMENT value the last INSERT on this connection produced.
    int LastInsertionID();
    // The last error of the connection; "" when there is none.
    CString GetErrorString();
    // The text escaped for use between single quotes in a statement.
    CString EscapeString(CString str);
    // "0x" and two upper-case hexadecimal digits a byte: a hexadecimal literal.
    void GenerateTextForBlob(const CBuffer& buffer, CString* string);
    // text becomes the bytes of buffer escaped for use between single quotes.
    void GenerateTextForBlob2(const CBuffer& buffer, CBuffer* text);

    // Runs one statement. With result: result becomes the result set (header
    // row first, SQL NULL as nullchar), and a statement without a result set
    // gives false. Without result any result set is read and dropped. A
    // failed statement gives false and, when bShowError, the log line
    // "MYSQL: " + the server's error text.
    bool RunQuery(CString query, CTable<CString>* result, CString nullchar, bool bShowError);
    // Each true when the statement succeeded.
    bool Begin();
    bool Commit();
    bool RollBack();

    // True when exactly this table exists (no LIKE wildcards).
    bool FindTable(CString tableName);
    // A new handle on an existing table, null when there is none. The caller
    // releases it with CloseTable.
    CDatabaseTable* OpenTable(CString tableName);
    // Deletes the handle; null is ignored.
    void CloseTable(CDatabaseTable* pDatabaseTable);
    // A MyISAM table with the fields in their map order. True when it was
    // created and, if pDatabaseTable is given, a handle opened on it. A field
    // type outside DBFieldType_t is fatal.
    bool CreateTable(CString tableName, const CAssocArray<CString, DBFieldDesc_t>& fields,
                     CDatabaseTable** pDatabaseTable);
    // Drops the table when it exists; no statement runs when it does not.
    // True when the table is gone afterwards (false when a statement failed).
    bool RemoveTable(CString tableName);

    // A table or field name between back-quotes, inner back-quotes doubled.
    static CString QuoteName(CString name);

private:
    CDatabase(const CDatabase&) = delete;
    CDatabase& operator=(const CDatabase&) = delete;

    // SHOW TABLES for exactly tableName: false when the statement failed,
    // else *pFound says whether the table exists.
    bool LookUpTable(CString tableName, bool* pFound);

    MYSQL m_Mysql;  // the client library's connection, initialised by the constructor
};

// A handle on one table: the statements for rows as field/value maps. Fields
// are taken in the map's order. Borrows its database, which outlives it.
// Every operation returns whether its statement succeeded (one that matches
// no row has succeeded) and logs a failure as "MYSQL: " + the error text.
class CDatabaseTable {
public:
    CDatabaseTable(CString tableName, CDatabase* pDatabase);

    bool Insert(const CAssocArray<CString, CString>& row);
    // Deletes the rows where every field of filter has its value. An empty
    // filter is a statement the server rejects: nothing is deleted.
    bool Remove(const CAssocArray<CString, CString>& filter);
    bool Remove(CString field, CString value);
    // result: the header row and the rows where every field of filter has
    // its value; empty (no header row either) on failure.
    bool Search(const CAssocArray<CString, CString>& filter, CTable<CString>& result);
    bool Search(CString field, CString value, CTable<CString>& result);
    // The whole table into result; an empty table gives the header row alone.
    bool Read(CTable<CString>& result);

private:
    // "`field` = 'value'" for each entry, joined with " AND ".
    CString Conditions(const CAssocArray<CString, CString>& filter);
    // RunQuery with error logging; a failure is logged a second time.
    bool Run(const CString& statement, CTable<CString>* result);

    CDatabase* m_pDatabase;  // not owned
    CString m_TableName;     // unquoted
};

#endif
