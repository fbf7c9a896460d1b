// CCRC: the framework's 32-bit CRC over the reflected CRC-32 polynomial
// 0xEDB88320. The register starts at 0xFFFFFFFF and is never inverted at the
// end, so every value is the bitwise complement of the usual CRC-32 ("abc"
// leaves 0xCADBBE3D). Digests are the register in native (little-endian)
// byte order, so CStringCRC and the 4 digest bytes read back as one DWORD.
#ifndef NB_COMMON_CRYPTO_CRC_H
#define NB_COMMON_CRYPTO_CRC_H

#include "common/src/crypto/ihash.h"

// The incremental state behind a CRC HPartialHash.
struct HashPartial_t {
    DWORD crc;  // running register
};

// Owns only its byte table, built once by the constructor and then only read:
// safe from any number of threads. The constructor is constexpr so g_CRC is
// ready before any dynamic initialiser of the process runs.
class CCRC : public IHash {
public:
    constexpr CCRC() : m_Crc32Table() {
        for (DWORD n = 0; n < 256; n++) m_Crc32Table[n] = TableEntry(n);
    }

    using IHash::Hash;

    int GetHashLength() override { return 4; }
    void Hash(const void* data, int size, void* digest) override;
    HPartialHash Start() override;
    void Append(HPartialHash hHash, const void* data, int size) override;
    void Finish(HPartialHash hHash, void* digest) override;

    // n run through eight register shifts, each folding the polynomial back
    // in when a 1 falls out: the register's effect of one byte whose
    // register-xor-byte value is n.
    static constexpr DWORD TableEntry(DWORD n) {
        for (int k = 0; k < 8; k++) n = (n & 1) ? (n >> 1) ^ 0xEDB88320u : n >> 1;
        return n;
    }

private:
    DWORD Update(DWORD crc, const BYTE* p, int size) const;

    DWORD m_Crc32Table[256];
};

extern CCRC g_CRC;

#endif
