// CINIParser: INI text ("[Section]", "key = value", ";" and "#" comments) to
// an IniDocument_t and back. Stateless; callers own the documents.
// g_INI is the daemon's configuration: loaded once by the main thread at
// start-up, only read afterwards (no lock).
#ifndef NB_COMMON_INIPARSER_H
#define NB_COMMON_INIPARSER_H

#include "common/src/datatypes/assocarray.h"
#include "common/src/datatypes/buffer.h"
#include "common/src/datatypes/string.h"
#include "common/src/datatypes/vector.h"

typedef CAssocArray<CString, CString> IniSection_t;
typedef CAssocArray<CString, IniSection_t> IniDocument_t;

extern IniDocument_t g_INI;

class CINIParser {
public:
    // False, doc untouched, when the file cannot be read; otherwise the parse.
    // ";" starts a comment only when filterComments is true; "#" always does.
    static bool Read(const char* file, IniDocument_t& doc, bool filterComments);
    // Empties doc and parses the lines; keys before any header belong to the
    // section "null"; a header without keys leaves no section. Always true.
    static bool Read(const CVector<CString>& contents, IniDocument_t& doc, bool filterComments);
    // Not available: fatal.
    static bool Read(const CBuffer& contents, IniDocument_t& doc, bool filterComments);
    // "[name]", then "key = value" per key, then an empty line, per section.
    static bool Write(const char* file, const IniDocument_t& doc);
    // Removes blanks (spaces only, not tabs) from both ends.
    static CString StripWhiteSpace(const CString& text);
};

#endif
