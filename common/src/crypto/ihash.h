// IHash: the framework's hash interface (one-shot and incremental hashing with
// a hexadecimal text form), and the two process-wide hash objects behind it.
// The message layer checksums bodies with g_pCRC and the remote-object layer
// derives 32-bit identifiers from names with CStringCRC.
#ifndef NB_COMMON_CRYPTO_IHASH_H
#define NB_COMMON_CRYPTO_IHASH_H

#include "common/src/datatypes/string.h"
#include "common/src/linux/platform.h"

// The state of one incremental hash: made by Start, fed by Append, consumed
// (freed) by Finish. Belongs to the caller in between; dead after Finish.
typedef void* HPartialHash;

// A hash algorithm. Implementations hold no per-call state, so one object
// serves any number of threads at once as long as each incremental hash has
// its own HPartialHash. Nothing is ever deleted through this interface (the
// destructor is protected): hash objects are globals or owned by value.
class IHash {
public:
    // Bytes of one digest.
    virtual int GetHashLength() = 0;
    // Two upper-case hexadecimal digits per digest byte, bytes in storage
    // order: 2 * GetHashLength() characters.
    virtual CString HashToString(void* digest);
    // One-shot hash of size bytes (size >= 0; 0 hashes empty input) into
    // GetHashLength() bytes at digest.
    virtual void Hash(const void* data, int size, void* digest) = 0;
    // One-shot hash in text form.
    virtual CString Hash(const void* data, int size);
    // Hash of the narrow (8-bit) characters of text, terminator excluded.
    virtual CString Hash(CString text);
    virtual HPartialHash Start() = 0;
    // size >= 0; any split of the input over Append calls gives the digest
    // of the whole.
    virtual void Append(HPartialHash hHash, const void* data, int size) = 0;
    // Writes GetHashLength() bytes to digest and frees the state.
    virtual void Finish(HPartialHash hHash, void* digest) = 0;

protected:
    ~IHash() = default;
};

// The process-wide CRC and MD5 objects; usable from static initialisation
// onwards (their objects are constant-initialised).
extern IHash* const g_pCRC;
extern IHash* const g_pMD5;

// The CRC register (see CCRC) over the narrow characters of text: the same
// name always yields the same 32-bit identifier.
DWORD CStringCRC(CString text);

#endif
