#include "common/src/file.h"

#include <sys/stat.h>

#include <cstdio>

bool CFile::Read(const char* name, CBuffer& contents) {
    contents.Empty();
    FILE* f = fopen(name, "rb");
    if (!f) return false;
    bool ok = fseek(f, 0, SEEK_END) == 0;
    long size = ok ? ftell(f) : -1;
    // Blocks are addressed by int offsets: larger files are refused.
    ok = ok && size >= 0 && size <= 0x7FFFFFFF && fseek(f, 0, SEEK_SET) == 0;
    if (ok && size > 0) {
        void* p = contents.LazyWrite(static_cast<int>(size));
        ok = fread(p, 1, static_cast<size_t>(size), f) == static_cast<size_t>(size);
    }
    fclose(f);
    if (!ok) contents.Empty();
    return ok;
}

static bool WriteBytes(const char* name, const char* mode, const CBuffer& contents) {
    FILE* f = fopen(name, mode);
    if (!f) return false;
    size_t length = static_cast<size_t>(contents.Length());
    bool ok = length == 0 || fwrite(contents.Data(), 1, length, f) == length;
    ok = fclose(f) == 0 && ok;
    return ok;
}

bool CFile::Write(const char* name, const CBuffer& contents) { return WriteBytes(name, "wb", contents); }

bool CFile::Append(const char* name, const CBuffer& contents) { return WriteBytes(name, "ab", contents); }

bool CFile::Read(const char* name, CVector<CString>& contents) {
    contents.RemoveAll();
    FILE* f = fopen(name, "r");
    if (!f) return false;
    char line[2000];
    while (fgets(line, sizeof line, f)) {
        chop(line);
        contents.AddToTail(line);
    }
    bool ok = !ferror(f);
    fclose(f);
    if (!ok) contents.RemoveAll();
    return ok;
}

static bool WriteLines(const char* name, const char* mode, const CVector<CString>& contents) {
    FILE* f = fopen(name, mode);
    if (!f) return false;
    bool ok = true;
    for (int i = 0; i < contents.Count() && ok; i++) ok = fprintf(f, "%s\n", contents[i].Ptr()) >= 0;
    ok = fclose(f) == 0 && ok;
    return ok;
}

bool CFile::Write(const char* name, const CVector<CString>& contents) { return WriteLines(name, "w", contents); }

bool CFile::Append(const char* name, const CVector<CString>& contents) { return WriteLines(name, "a", contents); }

bool CFile::Append(const char* name, const CString& line) {
    CVector<CString> lines;
    lines.AddToTail(line);
    return Append(name, lines);
}

bool CFile::GetLastModified(const char* name, int& time) {
    struct stat st;
    if (stat(name, &st) != 0) return false;
    time = static_cast<int>(st.st_mtime);
    return true;
}
