#include "common/src/crypto/ihash.h"

CString IHash::HashToString(void* digest) {
    static const char s_Digits[] = "0123456789ABCDEF";
    const int length = GetHashLength();
    OS_ASSERT(length >= 0 && (length == 0 || digest != nullptr));
    // Built in one piece: appending byte by byte would re-sync the string's
    // wide form once per digit.
    char* text = static_cast<char*>(OS_Malloc(static_cast<unsigned int>(2 * length + 1)));
    const BYTE* bytes = static_cast<const BYTE*>(digest);
    for (int i = 0; i < length; i++) {
        text[2 * i] = s_Digits[bytes[i] >> 4];
        text[2 * i + 1] = s_Digits[bytes[i] & 0x0F];
    }
    text[2 * length] = 0;
    CString result(text);
    OS_Free(text);
    return result;
}

CString IHash::Hash(const void* data, int size) {
    void* digest = OS_Malloc(static_cast<unsigned int>(GetHashLength()));
    Hash(data, size, digest);
    CString result = HashToString(digest);
    OS_Free(digest);
    return result;
}

CString IHash::Hash(CString text) { return Hash(text.Ptr(), text.Length()); }
