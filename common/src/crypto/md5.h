// CMD5: MD5 as RFC 1321 defines it, behind IHash, with the C-style state
// functions (md5_init, md5_append, md5_finish) it is built on.
#ifndef NB_COMMON_CRYPTO_MD5_H
#define NB_COMMON_CRYPTO_MD5_H

#include "common/src/crypto/ihash.h"

typedef unsigned char md5_byte_t;
typedef unsigned int md5_word_t;

// The state of one MD5 computation.
typedef struct md5_state_s {
    md5_word_t count[2];  // message length in bits, low word first
    md5_word_t abcd[4];   // chaining words
    md5_byte_t buf[64];   // the partial block not yet compressed
} md5_state_t;

// count 0 and the four standard initial chaining words.
void md5_init(md5_state_t* pms);
// Feeds nbytes (>= 0) more bytes of the message.
void md5_append(md5_state_t* pms, const md5_byte_t* data, int nbytes);
// Pads, appends the bit count and writes the 16-byte digest. The state is
// spent afterwards (md5_init starts a new one).
void md5_finish(md5_state_t* pms, md5_byte_t digest[16]);

// Holds nothing: safe from any number of threads, each incremental hash
// owning its md5_state_t.
class CMD5 : public IHash {
public:
    using IHash::Hash;

    int GetHashLength() override { return 16; }
    void Hash(const void* data, int size, void* digest) override;
    HPartialHash Start() override;
    void Append(HPartialHash hHash, const void* data, int size) override;
    void Finish(HPartialHash hHash, void* digest) override;
};

extern CMD5 g_MD5;

#endif
