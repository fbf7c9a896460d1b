// CIceKey against the published Thin-ICE (level 0) certification triplet, in
// every calling form and at every position of multi-block buffers, plus its
// broken-contract stops.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/src/crypto/icekey.h"
#include "common/src/osutils.h"

namespace {

const unsigned char kKey[8] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x23, 0x45, 0x67};
const unsigned char kPlain[8] = {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
const unsigned char kCipher[8] = {0xDE, 0x24, 0x0D, 0x83, 0xA0, 0x0A, 0x9C, 0xC0};

void SetCertificationKey(CIceKey* ice) {
    unsigned char key[8];
    memcpy(key, kKey, 8);
    ice->SetKey(key);
}

std::vector<unsigned char> Noise(size_t n, DWORD seed) {
    std::vector<unsigned char> v(n);
    for (unsigned char& b : v) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<unsigned char>(seed >> 24);
    }
    return v;
}

}  // namespace

TEST(IceKey, CertificationTripletEnciphersAndDeciphersInEveryForm) {
    CIceKey ice;
    EXPECT_EQ(8, ice.GetKeySize());
    SetCertificationKey(&ice);

    unsigned char out[8];
    ice.Encrypt(kPlain, out, 8);
    EXPECT_EQ(0, memcmp(out, kCipher, 8));
    ice.Decrypt(kCipher, out, 8);
    EXPECT_EQ(0, memcmp(out, kPlain, 8));

    unsigned char data[8];
    memcpy(data, kPlain, 8);
    ice.Encrypt(data, 8);
    EXPECT_EQ(0, memcmp(data, kCipher, 8));
    ice.Decrypt(data, 8);
    EXPECT_EQ(0, memcmp(data, kPlain, 8));
}

TEST(IceKey, BlocksAreEncipheredIndependentlyAtEveryPositionOfALongBuffer) {
    CIceKey ice;
    SetCertificationKey(&ice);
    // The certification block at each position among differing neighbours:
    // the block grouping inside the cipher must neither chain blocks nor mix
    // up their places.
    for (int blocks = 1; blocks <= 11; blocks++) {
        for (int at = 0; at < blocks; at++) {
            std::vector<unsigned char> in = Noise(8 * static_cast<size_t>(blocks), static_cast<DWORD>(blocks * 31 + at));
            memcpy(&in[8 * static_cast<size_t>(at)], kPlain, 8);
            std::vector<unsigned char> out(in.size());
            ice.Encrypt(in.data(), out.data(), static_cast<int>(in.size()));
            ASSERT_EQ(0, memcmp(&out[8 * static_cast<size_t>(at)], kCipher, 8)) << blocks << " blocks, at " << at;
            ice.Decrypt(out.data(), static_cast<int>(out.size()));
            ASSERT_EQ(in, out) << blocks << " blocks";
        }
    }
}

TEST(IceKey, NewKeyReplacesTheScheduleAndWrongKeyDoesNotDecipher) {
    CIceKey ice;
    unsigned char other[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ice.SetKey(other);
    unsigned char out[8];
    ice.Encrypt(kPlain, out, 8);
    EXPECT_NE(0, memcmp(out, kCipher, 8));
    SetCertificationKey(&ice);
    ice.Encrypt(kPlain, out, 8);
    EXPECT_EQ(0, memcmp(out, kCipher, 8));
    ice.SetKey(other);
    ice.Decrypt(kCipher, out, 8);
    EXPECT_NE(0, memcmp(out, kPlain, 8));
}

TEST(IceKey, RoundTripRestoresAnyWholeBlockBufferAndSizeZeroTouchesNothing) {
    CIceKey ice;
    std::vector<unsigned char> key = Noise(8, 7);
    ice.SetKey(key.data());
    std::vector<unsigned char> original = Noise(4096, 99);
    std::vector<unsigned char> data = original;
    ice.Encrypt(data.data(), static_cast<int>(data.size()));
    EXPECT_NE(original, data);
    ice.Decrypt(data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(original, data);

    unsigned char untouched[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    ice.Encrypt(kPlain, untouched, 0);
    ice.Decrypt(kPlain, untouched, 0);
    for (unsigned char b : untouched) EXPECT_EQ(9, b);
}

TEST(IceKey, PartialBlockStopsTheProcessNamingTheCipherSource) {
    CIceKey ice;
    SetCertificationKey(&ice);
    unsigned char data[16] = {};
    const char* kStop = "Debug assert failed on line [0-9]+ of common/src/crypto/icekey.cpp";
    EXPECT_DEATH(ice.Encrypt(data, data, 7), kStop);
    EXPECT_DEATH(ice.Decrypt(data, data, 12), kStop);
    EXPECT_DEATH(ice.Encrypt(data, 9), kStop);
    EXPECT_DEATH(ice.Decrypt(data, 1), kStop);
    EXPECT_DEATH(ice.Encrypt(data, -8), kStop);
}

TEST(IceKey, UseBeforeSetKeyStopsTheProcess) {
    CIceKey ice;
    unsigned char data[8] = {};
    EXPECT_DEATH(ice.Encrypt(data, 8), "Debug assert failed on line [0-9]+ of common/src/crypto/icekey.cpp");
}

namespace {

struct IceThreadResult_t {
    unsigned char out[8];
};

void EncipherOnce(void* param) {
    CIceKey ice;  // may be the process's first key: builds the shared S-boxes
    SetCertificationKey(&ice);
    ice.Encrypt(kPlain, static_cast<IceThreadResult_t*>(param)->out, 8);
}

}  // namespace

// Run as its own process by the test command, so these are the first keys.
TEST(IceKeyThreads, FirstKeysConstructedOnSeveralThreadsAtOnceAllEncipherCorrectly) {
    IceThreadResult_t results[4];
    HThread threads[4];
    for (int i = 0; i < 4; i++) threads[i] = OS_CreateThread(EncipherOnce, &results[i], OS_THREAD_PRIORITY_NORMAL);
    for (int i = 0; i < 4; i++) OS_JoinThread(threads[i]);
    for (int i = 0; i < 4; i++) EXPECT_EQ(0, memcmp(results[i].out, kCipher, 8)) << "thread " << i;
}
