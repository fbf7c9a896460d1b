#include "common/src/crypto/crc.h"

#include <cstring>

CCRC g_CRC;
IHash* const g_pCRC = &g_CRC;

namespace {

// Slicing by sixteen: s_Slices.t[k][n] is the register's effect of byte n
// followed by k zero bytes, so sixteen input bytes fold in with sixteen
// lookups that do not depend on each other. Slice 0 is the byte table itself.
// Built by the compiler, so it needs no initialisation order.
const int kSlices = 16;

struct CrcSlices_t {
    DWORD t[kSlices][256];
};

constexpr CrcSlices_t BuildSlices() {
    CrcSlices_t s{};
    for (DWORD n = 0; n < 256; n++) s.t[0][n] = CCRC::TableEntry(n);
    for (int k = 1; k < kSlices; k++) {
        for (DWORD n = 0; n < 256; n++) {
            DWORD prev = s.t[k - 1][n];
            s.t[k][n] = (prev >> 8) ^ s.t[0][prev & 0xFF];
        }
    }
    return s;
}

constexpr CrcSlices_t s_Slices = BuildSlices();

}  // namespace

DWORD CCRC::Update(DWORD crc, const BYTE* p, int size) const {
    OS_ASSERTMSG(size >= 0, "CRC over %d bytes", size);
    OS_ASSERT(size == 0 || p != nullptr);
    size_t n = static_cast<size_t>(size);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The register is reflected, so on a little-endian machine its low byte
    // lines up with the first input byte of a word.
    const DWORD(&t)[kSlices][256] = s_Slices.t;
    for (; n >= 16; n -= 16, p += 16) {
        DWORD w0, w1, w2, w3;
        memcpy(&w0, p, 4);
        memcpy(&w1, p + 4, 4);
        memcpy(&w2, p + 8, 4);
        memcpy(&w3, p + 12, 4);
        w0 ^= crc;
        crc = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^ t[12][w0 >> 24] ^
              t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^
              t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^ t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^
              t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24];
    }
#endif
    for (; n > 0; n--, p++) crc = (crc >> 8) ^ m_Crc32Table[(crc ^ *p) & 0xFF];
    return crc;
}

void CCRC::Hash(const void* data, int size, void* digest) {
    OS_ASSERT(digest != nullptr);
    DWORD crc = Update(0xFFFFFFFFu, static_cast<const BYTE*>(data), size);
    memcpy(digest, &crc, 4);
}

HPartialHash CCRC::Start() {
    HashPartial_t* state = new HashPartial_t;
    state->crc = 0xFFFFFFFFu;
    return state;
}

void CCRC::Append(HPartialHash hHash, const void* data, int size) {
    OS_ASSERT(hHash != nullptr);
    HashPartial_t* state = static_cast<HashPartial_t*>(hHash);
    state->crc = Update(state->crc, static_cast<const BYTE*>(data), size);
}

void CCRC::Finish(HPartialHash hHash, void* digest) {
    OS_ASSERT(hHash != nullptr && digest != nullptr);
    HashPartial_t* state = static_cast<HashPartial_t*>(hHash);
    memcpy(digest, &state->crc, 4);
    delete state;
}

DWORD CStringCRC(CString text) {
    DWORD crc;
    g_pCRC->Hash(text.Ptr(), text.Length(), &crc);
    return crc;
}
