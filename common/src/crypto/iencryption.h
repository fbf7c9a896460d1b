// IEncryption: a keyed block cipher used in electronic-code-book fashion
// (whole blocks, no chaining, no padding). The message layer enciphers its
// records through it; each user owns its own cipher object.
#ifndef NB_COMMON_CRYPTO_IENCRYPTION_H
#define NB_COMMON_CRYPTO_IENCRYPTION_H

// Implementations are not locked: one object belongs to one thread at a time.
// The destructor is virtual so an owner may hold and delete a cipher through
// this interface.
class IEncryption {
public:
    virtual ~IEncryption() {}

    // Key length in bytes.
    virtual int GetKeySize() = 0;
    // Installs GetKeySize() bytes of key; must come before the first Encrypt
    // or Decrypt.
    virtual void SetKey(void* key) = 0;
    // size must be a whole number of blocks (a broken contract stops the
    // process); in and out may be the same buffer.
    virtual void Encrypt(const unsigned char* in, unsigned char* out, int size) = 0;
    virtual void Encrypt(unsigned char* data, int size) = 0;
    virtual void Decrypt(const unsigned char* in, unsigned char* out, int size) = 0;
    virtual void Decrypt(unsigned char* data, int size) = 0;
};

#endif
