#include "common/src/crypto/icekey.h"

#include <cstring>

namespace {

// The published cipher's constants. Each S-box has four rows (selected by the
// outer two of its ten input bits), each an x^7 map over GF(2^8) with its own
// irreducible modulus and input offset.
const int ice_smod[4][4] = {{333, 313, 505, 369}, {379, 375, 319, 391}, {361, 445, 451, 397}, {397, 425, 395, 505}};
const int ice_sxor[4][4] = {{0x83, 0x85, 0x9B, 0xCD}, {0xCC, 0xA7, 0xAD, 0x41}, {0x4B, 0x2E, 0xD4, 0x33}, {0xEA, 0xCB, 0x2E, 0x04}};
// Where bit i of the concatenated S-box outputs lands in the round's result:
// every S-box feeds two bits into each byte.
const DWORD ice_pbox[32] = {
    0x00000001, 0x00000080, 0x00000400, 0x00002000, 0x00080000, 0x00200000, 0x01000000, 0x40000000,
    0x00000008, 0x00000020, 0x00000100, 0x00004000, 0x00010000, 0x00800000, 0x04000000, 0x20000000,
    0x00000004, 0x00000010, 0x00000200, 0x00008000, 0x00020000, 0x00400000, 0x08000000, 0x10000000,
    0x00000002, 0x00000040, 0x00000800, 0x00001000, 0x00040000, 0x00100000, 0x02000000, 0x80000000};
// Which key word each subkey starts from; Thin-ICE uses the first eight.
const int ice_keyrot[16] = {0, 1, 2, 3, 2, 1, 3, 0, 1, 3, 2, 0, 3, 1, 0, 2};

// The four S-boxes with the P-box already applied to their outputs, so a
// round's result is the OR of four lookups. Built once, never freed; written
// only inside the one-time initialisation, read-only afterwards.
DWORD ice_sbox[4][1024];
bool ice_sboxes_initialised = false;

// Carry-less multiplication of a and b modulo the degree-8 polynomial m.
unsigned int GfMult(unsigned int a, unsigned int b, unsigned int m) {
    unsigned int res = 0;
    while (b) {
        if (b & 1) res ^= a;
        a <<= 1;
        b >>= 1;
        if (a >= 256) a ^= m;
    }
    return res;
}

// b^7 in GF(2^8) modulo m: b^2, b^3, b^6, b^7.
unsigned int GfExp7(unsigned int b, unsigned int m) {
    if (b == 0) return 0;
    unsigned int x = GfMult(b, b, m);
    x = GfMult(b, x, m);
    x = GfMult(x, x, m);
    return GfMult(b, x, m);
}

DWORD Perm32(DWORD x) {
    DWORD res = 0;
    for (int i = 0; x; i++, x >>= 1) {
        if (x & 1) res |= ice_pbox[i];
    }
    return res;
}

bool SboxesInit() {
    for (int i = 0; i < 1024; i++) {
        const int col = (i >> 1) & 0xFF;
        const int row = (i & 0x1) | ((i & 0x200) >> 8);
        for (int s = 0; s < 4; s++) {
            DWORD x = GfExp7(static_cast<unsigned int>(col ^ ice_sxor[s][row]), static_cast<unsigned int>(ice_smod[s][row]));
            ice_sbox[s][i] = Perm32(x << (24 - 8 * s));
        }
    }
    ice_sboxes_initialised = true;
    return true;
}

// The round function. The 32-bit half is expanded to four overlapping 10-bit
// groups (bits 0-9, 8-17, 16-25 and 24-1, wrapping), paired into two 20-bit
// words; the subkey swaps the bits val[2] selects between them, is xored in,
// and each 10-bit group goes through its S-box.
inline DWORD IceF(DWORD p, const IceSubkey& sk) {
    DWORD tl = ((p >> 16) & 0x3FF) | (((p >> 14) | (p << 18)) & 0xFFC00);
    DWORD tr = (p & 0x3FF) | ((p << 2) & 0xFFC00);
    DWORD al = sk.val[2] & (tl ^ tr);
    DWORD ar = al ^ tr;
    al ^= tl;
    al ^= sk.val[0];
    ar ^= sk.val[1];
    // Subkey words hold 20 bits, so every index stays below 1024.
    return ice_sbox[0][al >> 10] | ice_sbox[1][al & 0x3FF] | ice_sbox[2][ar >> 10] |
           ice_sbox[3][ar & 0x3FF];
}

inline DWORD LoadBE(const unsigned char* p) {
    DWORD v;
    memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline void StoreBE(unsigned char* p, DWORD v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    memcpy(p, &v, 4);
}

// N independent blocks at once: a single block is one long dependency chain
// of table lookups, so interleaving several keeps the processor busy. Every
// block is read before any is written, so in and out may coincide.
// Decryption runs the same network with the subkeys in reverse order. The
// halves leave swapped, as the published cipher's last round leaves them.
template <bool DECRYPT, int N>
inline void IceBlocks(const unsigned char* in, unsigned char* out, const IceSubkey* ks) {
    DWORD l[N], r[N];
    for (int n = 0; n < N; n++) {
        l[n] = LoadBE(in + 8 * n);
        r[n] = LoadBE(in + 8 * n + 4);
    }
    for (int i = 0; i < 8; i += 2) {
        const IceSubkey& k0 = ks[DECRYPT ? 7 - i : i];
        const IceSubkey& k1 = ks[DECRYPT ? 6 - i : i + 1];
        for (int n = 0; n < N; n++) l[n] ^= IceF(r[n], k0);
        for (int n = 0; n < N; n++) r[n] ^= IceF(l[n], k1);
    }
    for (int n = 0; n < N; n++) {
        StoreBE(out + 8 * n, r[n]);
        StoreBE(out + 8 * n + 4, l[n]);
    }
}

template <bool DECRYPT>
void IceCrypt(const unsigned char* in, unsigned char* out, int size, const IceSubkey* ks) {
    int blocks = size / 8;
    for (; blocks >= 4; blocks -= 4, in += 32, out += 32) IceBlocks<DECRYPT, 4>(in, out, ks);
    for (; blocks > 0; blocks--, in += 8, out += 8) IceBlocks<DECRYPT, 1>(in, out, ks);
}

// Key material must not linger in freed or reused memory; volatile stops the
// compiler from dropping the stores as dead.
void Wipe(void* p, size_t n) {
    volatile unsigned char* q = static_cast<volatile unsigned char*>(p);
    while (n--) *q++ = 0;
}

}  // namespace

CIceKey::CIceKey() : _size(1), _rounds(8), _keysched(nullptr), m_bKeySet(false) {
    // A function-local static is initialised exactly once even when several
    // threads construct their first key together; later constructions only
    // read the finished flag.
    static const bool s_bSboxesBuilt = SboxesInit();
    OS_ASSERT(s_bSboxesBuilt && ice_sboxes_initialised);
    _keysched = new IceSubkey[_rounds]();
}

CIceKey::~CIceKey() {
    Wipe(_keysched, sizeof(IceSubkey) * static_cast<size_t>(_rounds));
    delete[] _keysched;
}

int CIceKey::GetKeySize() { return _size * 8; }

// Each subkey takes 60 bits, one at a time from the low end of the four key
// words in turn (starting at keyrot[i]), dealt round-robin into its three
// words; every bit taken re-enters its key word inverted at the top.
void CIceKey::ScheduleBuild(WORD* kb, int n, const int* keyrot) {
    for (int i = 0; i < 8; i++) {
        const int kr = keyrot[i];
        IceSubkey& isk = _keysched[n + i];
        isk.val[0] = isk.val[1] = isk.val[2] = 0;
        for (int j = 0; j < 15; j++) {
            DWORD& currSk = isk.val[j % 3];
            for (int k = 0; k < 4; k++) {
                WORD& currKb = kb[(kr + k) & 3];
                const int bit = currKb & 1;
                currSk = (currSk << 1) | static_cast<DWORD>(bit);
                currKb = static_cast<WORD>((currKb >> 1) | ((bit ^ 1) << 15));
            }
        }
    }
}

void CIceKey::SetKey(void* key) {
    OS_ASSERT(key != nullptr);
    const unsigned char* bytes = static_cast<const unsigned char*>(key);
    WORD kb[4];
    for (int i = 0; i < 4; i++) kb[3 - i] = static_cast<WORD>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
    ScheduleBuild(kb, 0, ice_keyrot);
    Wipe(kb, sizeof(kb));
    m_bKeySet = true;
}

void CIceKey::CheckCall(const unsigned char* in, const unsigned char* out, int size) const {
    OS_ASSERTMSG(size >= 0 && size % 8 == 0, "ICE size %d is not a whole number of 8-byte blocks", size);
    OS_ASSERTMSG(m_bKeySet, "ICE used before SetKey");
    OS_ASSERT(size == 0 || (in != nullptr && out != nullptr));
}

void CIceKey::Encrypt(const unsigned char* in, unsigned char* out, int size) {
    CheckCall(in, out, size);
    IceCrypt<false>(in, out, size, _keysched);
}

void CIceKey::Encrypt(unsigned char* data, int size) { Encrypt(data, data, size); }

void CIceKey::Decrypt(const unsigned char* in, unsigned char* out, int size) {
    CheckCall(in, out, size);
    IceCrypt<true>(in, out, size, _keysched);
}

void CIceKey::Decrypt(unsigned char* data, int size) { Decrypt(data, data, size); }
