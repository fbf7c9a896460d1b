// CCRC against the published CRC-32 check values (our register is their
// bitwise complement: no final inversion), the message layer's class-name
// identifiers, and the incremental path.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/src/crypto/crc.h"

namespace {

DWORD RegisterOf(const void* data, int size) {
    DWORD crc;
    g_pCRC->Hash(data, size, &crc);
    return crc;
}

// The register computed one bit at a time straight from the polynomial, with
// no tables: an independent check of the widened table path on inputs for
// which no published value exists.
DWORD BitwiseRegister(const BYTE* p, size_t n) {
    DWORD crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
    }
    return crc;
}

const char kFox[] = "The quick brown fox jumps over the lazy dog";  // CRC-32 0x414FA339

}  // namespace

TEST(CRC, AbcGivesThePublishedRegisterBytesAndText) {
    BYTE digest[4];
    g_pCRC->Hash("abc", 3, digest);
    const BYTE expected[4] = {0x3D, 0xBE, 0xDB, 0xCA};
    EXPECT_EQ(0, memcmp(digest, expected, 4));
    EXPECT_EQ(0xCADBBE3Du, RegisterOf("abc", 3));
    EXPECT_STREQ("3DBEDBCA", g_pCRC->HashToString(digest).Ptr());
    EXPECT_STREQ("3DBEDBCA", g_pCRC->Hash("abc", 3).Ptr());
    EXPECT_STREQ("3DBEDBCA", g_pCRC->Hash(CString("abc")).Ptr());
    EXPECT_EQ(4, g_pCRC->GetHashLength());
}

TEST(CRC, CheckStringAndLongerTextsGiveTheComplementOfTheirPublishedCrc32) {
    EXPECT_EQ(0x340BC6D9u, RegisterOf("123456789", 9));
    EXPECT_STREQ("D9C60B34", g_pCRC->Hash(CString("123456789")).Ptr());
    EXPECT_EQ(~0x414FA339u, RegisterOf(kFox, static_cast<int>(strlen(kFox))));
}

TEST(CRC, EmptyInputLeavesTheInitialRegister) {
    EXPECT_STREQ("FFFFFFFF", g_pCRC->Hash(CString("")).Ptr());
    EXPECT_STREQ("FFFFFFFF", g_pCRC->Hash(nullptr, 0).Ptr());
    HPartialHash h = g_pCRC->Start();
    g_pCRC->Append(h, "x", 0);
    DWORD crc = 0;
    g_pCRC->Finish(h, &crc);
    EXPECT_EQ(0xFFFFFFFFu, crc);
}

TEST(CRC, ClassNameIdentifiersMatchTheMessageLayersConstants) {
    EXPECT_EQ(0x1CF1B78Fu, CStringCRC("CNetworkStream"));
    EXPECT_EQ(0xD06CD30Bu, CStringCRC("CRemoteBuffer"));
    EXPECT_EQ(0xCADBBE3Du, CStringCRC("abc"));
}

TEST(CRC, EverySplitIntoAppendsGivesTheOneShotRegister) {
    const int n = static_cast<int>(strlen(kFox));
    for (int i = 0; i <= n; i++) {
        for (int j = i; j <= n; j++) {
            HPartialHash h = g_pCRC->Start();
            g_pCRC->Append(h, kFox, i);
            g_pCRC->Append(h, kFox + i, j - i);
            g_pCRC->Append(h, kFox + j, n - j);
            DWORD crc;
            g_pCRC->Finish(h, &crc);
            ASSERT_EQ(~0x414FA339u, crc) << "split at " << i << " and " << j;
        }
    }
}

TEST(CRC, WidenedTablePathAgreesWithTheBitwiseRegisterAtEveryLengthAndAlignment) {
    std::vector<BYTE> data(4096 + 16);
    DWORD seed = 12345;
    for (BYTE& b : data) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<BYTE>(seed >> 24);
    }
    for (int offset = 0; offset < 8; offset++) {
        for (int size = 0; size <= 80; size++) {
            ASSERT_EQ(BitwiseRegister(&data[offset], static_cast<size_t>(size)), RegisterOf(&data[offset], size))
                << "offset " << offset << " size " << size;
        }
    }
    EXPECT_EQ(BitwiseRegister(&data[3], 4096), RegisterOf(&data[3], 4096));
}

TEST(CRC, NegativeSizeIsABrokenContract) {
    BYTE digest[4];
    EXPECT_DEATH(g_pCRC->Hash("abc", -1, digest), "Debug assert failed on line [0-9]+ of common/src/crypto/crc.cpp");
}
