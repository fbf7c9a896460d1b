// CIceKey: the ICE block cipher in its Thin-ICE variant (ICE level 0: 64-bit
// blocks, 64-bit key, 8 rounds), bit-identical to the published reference.
// Owns its key schedule (wiped and freed by the destructor); borrows the
// process-wide S-boxes, built once by the first constructor. Not locked: each
// user owns its own key object and calls it from one thread at a time.
#ifndef NB_COMMON_CRYPTO_ICEKEY_H
#define NB_COMMON_CRYPTO_ICEKEY_H

#include "common/src/crypto/iencryption.h"
#include "common/src/linux/platform.h"

// One round key: val[0] and val[1] are xored into the two 20-bit halves of the
// expanded input, val[2] selects the bits swapped between them.
struct IceSubkey {
    DWORD val[3];
};

class CIceKey : public IEncryption {
public:
    // Several threads may construct the first keys of the process at once.
    CIceKey();
    ~CIceKey() override;
    CIceKey(const CIceKey&) = delete;
    CIceKey& operator=(const CIceKey&) = delete;

    int GetKeySize() override;
    // 8 bytes, read as four big-endian 16-bit words.
    void SetKey(void* key) override;
    // Blocks are enciphered independently (no chaining, no padding): size
    // must be a non-negative multiple of 8 and SetKey must have been called,
    // else the process stops.
    void Encrypt(const unsigned char* in, unsigned char* out, int size) override;
    void Encrypt(unsigned char* data, int size) override;
    void Decrypt(const unsigned char* in, unsigned char* out, int size) override;
    void Decrypt(unsigned char* data, int size) override;

private:
    void CheckCall(const unsigned char* in, const unsigned char* out, int size) const;
    void ScheduleBuild(WORD* kb, int n, const int* keyrot);

    int _size;              // key length in 8-byte units: 1
    int _rounds;            // 8
    IceSubkey* _keysched;   // owned: _rounds subkeys
    bool m_bKeySet;         // SetKey has run
};

#endif
