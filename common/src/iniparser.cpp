#include "common/src/iniparser.h"

#include "common/src/file.h"

IniDocument_t g_INI;

bool CINIParser::Read(const char* file, IniDocument_t& doc, bool filterComments) {
    CVector<CString> lines;
    if (!CFile::Read(file, lines)) return false;
    return Read(lines, doc, filterComments);
}

bool CINIParser::Read(const CVector<CString>& contents, IniDocument_t& doc, bool filterComments) {
    doc.RemoveAll();
    CString section("null");
    for (int i = 0; i < contents.Count(); i++) {
        CString line = contents[i];
        int cut;
        if (filterComments && (cut = line.Find(";", 0)) >= 0) line = line.SubString(0, cut);
        if ((cut = line.Find("#", 0)) >= 0) line = line.SubString(0, cut);

        int open = line.Find("[", 0);
        int close = line.Find("]", 0);
        if (open >= 0 && close > open) {
            // Nothing enters the document until the section's first key.
            section = StripWhiteSpace(line.SubString2(open + 1, close));
            continue;
        }
        int equals = line.Find("=", 0);
        if (equals < 0) continue;
        CString key = StripWhiteSpace(line.SubString(0, equals));
        doc[section][key] = StripWhiteSpace(line.SubString(equals + 1, -1));
    }
    return true;
}

bool CINIParser::Read(const CBuffer&, IniDocument_t&, bool) {
    OS_Assert(__LINE__, __FILE__, "CINIParser::Read of a buffer is not available");
}

bool CINIParser::Write(const char* file, const IniDocument_t& doc) {
    CVector<CString> lines;
    for (int s = 0; s < doc.Count(); s++) {
        lines.AddToTail("[" + doc.Key(s) + "]");
        const IniSection_t& section = doc.Value(s);
        for (int k = 0; k < section.Count(); k++) lines.AddToTail(section.Key(k) + " = " + section.Value(k));
        lines.AddToTail("");
    }
    return CFile::Write(file, lines);
}

CString CINIParser::StripWhiteSpace(const CString& text) {
    int start = 0;
    int end = text.Length();
    while (start < end && text[start] == ' ') start++;
    while (end > start && text[end - 1] == ' ') end--;
    return text.SubString2(start, end);
}
