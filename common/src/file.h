// CFile: whole-file reads and writes, as bytes or as text lines. Stateless:
// every operation opens and closes the file within the call and returns false
// when it cannot be opened. Safe from any thread for different files.
#ifndef NB_COMMON_FILE_H
#define NB_COMMON_FILE_H

#include "common/src/datatypes/buffer.h"
#include "common/src/datatypes/string.h"
#include "common/src/datatypes/vector.h"

class CFile {
public:
    // The whole file into contents (emptied first); a short read empties it
    // again and returns false.
    static bool Read(const char* name, CBuffer& contents);
    // Creates or truncates the file and writes the buffer's whole content.
    static bool Write(const char* name, const CBuffer& contents);
    static bool Append(const char* name, const CBuffer& contents);
    // Text lines without their line end ("\n", then one "\r"); a physical line
    // longer than 1999 bytes arrives in 1999-byte pieces.
    static bool Read(const char* name, CVector<CString>& contents);
    // Every element followed by "\n".
    static bool Write(const char* name, const CVector<CString>& contents);
    static bool Append(const char* name, const CVector<CString>& contents);
    static bool Append(const char* name, const CString& line);
    // Modification time in seconds since the epoch.
    static bool GetLastModified(const char* name, int& time);
};

#endif
