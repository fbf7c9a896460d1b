#include "common/src/crypto/md5.h"

#include <cstring>

CMD5 g_MD5;
IHash* const g_pMD5 = &g_MD5;

namespace {

inline md5_word_t Rotl(md5_word_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Message words are little-endian whatever the machine.
inline md5_word_t LoadLE(const md5_byte_t* p) {
    return static_cast<md5_word_t>(p[0]) | static_cast<md5_word_t>(p[1]) << 8 |
           static_cast<md5_word_t>(p[2]) << 16 | static_cast<md5_word_t>(p[3]) << 24;
}

inline void StoreLE(md5_byte_t* p, md5_word_t v) {
    p[0] = static_cast<md5_byte_t>(v);
    p[1] = static_cast<md5_byte_t>(v >> 8);
    p[2] = static_cast<md5_byte_t>(v >> 16);
    p[3] = static_cast<md5_byte_t>(v >> 24);
}

// One step: a = b + ((a + fn(b, c, d) + x + t) <<< s). The first round's
// function is written as d ^ (b & (c ^ d)), equal to (b & c) | (~b & d); the
// second's likewise as c ^ (d & (b ^ c)).
#define MD5_STEP(fn, a, b, c, d, x, s, t) \
    do {                                  \
        (a) += fn((b), (c), (d)) + (x) + (t); \
        (a) = Rotl((a), (s)) + (b);       \
    } while (0)
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

// Compresses one 64-byte block into the chaining words. The additive
// constants are floor(abs(sin(i)) * 2^32) for i = 1..64.
void Md5Process(md5_word_t abcd[4], const md5_byte_t* block) {
    md5_word_t x[16];
    for (int i = 0; i < 16; i++) x[i] = LoadLE(block + 4 * i);
    md5_word_t a = abcd[0], b = abcd[1], c = abcd[2], d = abcd[3];

    MD5_STEP(MD5_F, a, b, c, d, x[0], 7, 0xD76AA478u);
    MD5_STEP(MD5_F, d, a, b, c, x[1], 12, 0xE8C7B756u);
    MD5_STEP(MD5_F, c, d, a, b, x[2], 17, 0x242070DBu);
    MD5_STEP(MD5_F, b, c, d, a, x[3], 22, 0xC1BDCEEEu);
    MD5_STEP(MD5_F, a, b, c, d, x[4], 7, 0xF57C0FAFu);
    MD5_STEP(MD5_F, d, a, b, c, x[5], 12, 0x4787C62Au);
    MD5_STEP(MD5_F, c, d, a, b, x[6], 17, 0xA8304613u);
    MD5_STEP(MD5_F, b, c, d, a, x[7], 22, 0xFD469501u);
    MD5_STEP(MD5_F, a, b, c, d, x[8], 7, 0x698098D8u);
    MD5_STEP(MD5_F, d, a, b, c, x[9], 12, 0x8B44F7AFu);
    MD5_STEP(MD5_F, c, d, a, b, x[10], 17, 0xFFFF5BB1u);
    MD5_STEP(MD5_F, b, c, d, a, x[11], 22, 0x895CD7BEu);
    MD5_STEP(MD5_F, a, b, c, d, x[12], 7, 0x6B901122u);
    MD5_STEP(MD5_F, d, a, b, c, x[13], 12, 0xFD987193u);
    MD5_STEP(MD5_F, c, d, a, b, x[14], 17, 0xA679438Eu);
    MD5_STEP(MD5_F, b, c, d, a, x[15], 22, 0x49B40821u);

    MD5_STEP(MD5_G, a, b, c, d, x[1], 5, 0xF61E2562u);
    MD5_STEP(MD5_G, d, a, b, c, x[6], 9, 0xC040B340u);
    MD5_STEP(MD5_G, c, d, a, b, x[11], 14, 0x265E5A51u);
    MD5_STEP(MD5_G, b, c, d, a, x[0], 20, 0xE9B6C7AAu);
    MD5_STEP(MD5_G, a, b, c, d, x[5], 5, 0xD62F105Du);
    MD5_STEP(MD5_G, d, a, b, c, x[10], 9, 0x02441453u);
    MD5_STEP(MD5_G, c, d, a, b, x[15], 14, 0xD8A1E681u);
    MD5_STEP(MD5_G, b, c, d, a, x[4], 20, 0xE7D3FBC8u);
    MD5_STEP(MD5_G, a, b, c, d, x[9], 5, 0x21E1CDE6u);
    MD5_STEP(MD5_G, d, a, b, c, x[14], 9, 0xC33707D6u);
    MD5_STEP(MD5_G, c, d, a, b, x[3], 14, 0xF4D50D87u);
    MD5_STEP(MD5_G, b, c, d, a, x[8], 20, 0x455A14EDu);
    MD5_STEP(MD5_G, a, b, c, d, x[13], 5, 0xA9E3E905u);
    MD5_STEP(MD5_G, d, a, b, c, x[2], 9, 0xFCEFA3F8u);
    MD5_STEP(MD5_G, c, d, a, b, x[7], 14, 0x676F02D9u);
    MD5_STEP(MD5_G, b, c, d, a, x[12], 20, 0x8D2A4C8Au);

    MD5_STEP(MD5_H, a, b, c, d, x[5], 4, 0xFFFA3942u);
    MD5_STEP(MD5_H, d, a, b, c, x[8], 11, 0x8771F681u);
    MD5_STEP(MD5_H, c, d, a, b, x[11], 16, 0x6D9D6122u);
    MD5_STEP(MD5_H, b, c, d, a, x[14], 23, 0xFDE5380Cu);
    MD5_STEP(MD5_H, a, b, c, d, x[1], 4, 0xA4BEEA44u);
    MD5_STEP(MD5_H, d, a, b, c, x[4], 11, 0x4BDECFA9u);
    MD5_STEP(MD5_H, c, d, a, b, x[7], 16, 0xF6BB4B60u);
    MD5_STEP(MD5_H, b, c, d, a, x[10], 23, 0xBEBFBC70u);
    MD5_STEP(MD5_H, a, b, c, d, x[13], 4, 0x289B7EC6u);
    MD5_STEP(MD5_H, d, a, b, c, x[0], 11, 0xEAA127FAu);
    MD5_STEP(MD5_H, c, d, a, b, x[3], 16, 0xD4EF3085u);
    MD5_STEP(MD5_H, b, c, d, a, x[6], 23, 0x04881D05u);
    MD5_STEP(MD5_H, a, b, c, d, x[9], 4, 0xD9D4D039u);
    MD5_STEP(MD5_H, d, a, b, c, x[12], 11, 0xE6DB99E5u);
    MD5_STEP(MD5_H, c, d, a, b, x[15], 16, 0x1FA27CF8u);
    MD5_STEP(MD5_H, b, c, d, a, x[2], 23, 0xC4AC5665u);

    MD5_STEP(MD5_I, a, b, c, d, x[0], 6, 0xF4292244u);
    MD5_STEP(MD5_I, d, a, b, c, x[7], 10, 0x432AFF97u);
    MD5_STEP(MD5_I, c, d, a, b, x[14], 15, 0xAB9423A7u);
    MD5_STEP(MD5_I, b, c, d, a, x[5], 21, 0xFC93A039u);
    MD5_STEP(MD5_I, a, b, c, d, x[12], 6, 0x655B59C3u);
    MD5_STEP(MD5_I, d, a, b, c, x[3], 10, 0x8F0CCC92u);
    MD5_STEP(MD5_I, c, d, a, b, x[10], 15, 0xFFEFF47Du);
    MD5_STEP(MD5_I, b, c, d, a, x[1], 21, 0x85845DD1u);
    MD5_STEP(MD5_I, a, b, c, d, x[8], 6, 0x6FA87E4Fu);
    MD5_STEP(MD5_I, d, a, b, c, x[15], 10, 0xFE2CE6E0u);
    MD5_STEP(MD5_I, c, d, a, b, x[6], 15, 0xA3014314u);
    MD5_STEP(MD5_I, b, c, d, a, x[13], 21, 0x4E0811A1u);
    MD5_STEP(MD5_I, a, b, c, d, x[4], 6, 0xF7537E82u);
    MD5_STEP(MD5_I, d, a, b, c, x[11], 10, 0xBD3AF235u);
    MD5_STEP(MD5_I, c, d, a, b, x[2], 15, 0x2AD7D2BBu);
    MD5_STEP(MD5_I, b, c, d, a, x[9], 21, 0xEB86D391u);

    abcd[0] += a;
    abcd[1] += b;
    abcd[2] += c;
    abcd[3] += d;
}

#undef MD5_STEP
#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

}  // namespace

void md5_init(md5_state_t* pms) {
    OS_ASSERT(pms != nullptr);
    pms->count[0] = pms->count[1] = 0;
    pms->abcd[0] = 0x67452301u;
    pms->abcd[1] = 0xEFCDAB89u;
    pms->abcd[2] = 0x98BADCFEu;
    pms->abcd[3] = 0x10325476u;
}

void md5_append(md5_state_t* pms, const md5_byte_t* data, int nbytes) {
    OS_ASSERT(pms != nullptr);
    OS_ASSERTMSG(nbytes >= 0, "MD5 over %d bytes", nbytes);
    OS_ASSERT(nbytes == 0 || data != nullptr);
    if (nbytes == 0) return;

    size_t used = (pms->count[0] >> 3) & 63;
    // The bit count is 64 bits wide across the two words; nbytes << 3 alone
    // would overflow 32 bits for appends of 512 MiB and more.
    unsigned long long bits = (static_cast<unsigned long long>(pms->count[1]) << 32) | pms->count[0];
    bits += static_cast<unsigned long long>(nbytes) << 3;
    pms->count[0] = static_cast<md5_word_t>(bits);
    pms->count[1] = static_cast<md5_word_t>(bits >> 32);

    size_t left = static_cast<size_t>(nbytes);
    if (used > 0) {
        size_t take = 64 - used;
        if (take > left) take = left;
        memcpy(pms->buf + used, data, take);
        data += take;
        left -= take;
        if (used + take < 64) return;
        Md5Process(pms->abcd, pms->buf);
    }
    for (; left >= 64; left -= 64, data += 64) Md5Process(pms->abcd, data);
    if (left > 0) memcpy(pms->buf, data, left);
}

void md5_finish(md5_state_t* pms, md5_byte_t digest[16]) {
    OS_ASSERT(pms != nullptr && digest != nullptr);
    // Taken before padding changes the count.
    md5_byte_t length[8];
    StoreLE(length, pms->count[0]);
    StoreLE(length + 4, pms->count[1]);

    // 0x80, then zeros up to 56 bytes past a block boundary, then the length:
    // 1 to 64 bytes of padding.
    static const md5_byte_t s_Pad[64] = {0x80};
    size_t used = (pms->count[0] >> 3) & 63;
    size_t pad = used < 56 ? 56 - used : 120 - used;
    md5_append(pms, s_Pad, static_cast<int>(pad));
    md5_append(pms, length, 8);
    for (int i = 0; i < 4; i++) StoreLE(digest + 4 * i, pms->abcd[i]);
}

void CMD5::Hash(const void* data, int size, void* digest) {
    md5_state_t state;
    md5_init(&state);
    md5_append(&state, static_cast<const md5_byte_t*>(data), size);
    md5_finish(&state, static_cast<md5_byte_t*>(digest));
}

HPartialHash CMD5::Start() {
    md5_state_t* state = new md5_state_t;
    md5_init(state);
    return state;
}

void CMD5::Append(HPartialHash hHash, const void* data, int size) {
    OS_ASSERT(hHash != nullptr);
    md5_append(static_cast<md5_state_t*>(hHash), static_cast<const md5_byte_t*>(data), size);
}

void CMD5::Finish(HPartialHash hHash, void* digest) {
    OS_ASSERT(hHash != nullptr);
    md5_state_t* state = static_cast<md5_state_t*>(hHash);
    md5_finish(state, static_cast<md5_byte_t*>(digest));
    delete state;
}
