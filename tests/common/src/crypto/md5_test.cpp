// CMD5 against the RFC 1321 test suite and the published digest of a million
// 'a's, through the one-shot, text and incremental paths.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/src/crypto/md5.h"

namespace {

struct Md5Vector_t {
    const char* message;
    const char* digest;
};

const Md5Vector_t kRfc1321Suite[] = {
    {"", "D41D8CD98F00B204E9800998ECF8427E"},
    {"a", "0CC175B9C0F1B6A831C399E269772661"},
    {"abc", "900150983CD24FB0D6963F7D28E17F72"},
    {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
    {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57EDF4A22BE3C955AC49DA2E2107B67A"},
};

CString IncrementalText(const std::vector<const char*>& pieces, const std::vector<int>& sizes) {
    HPartialHash h = g_pMD5->Start();
    for (size_t i = 0; i < pieces.size(); i++) g_pMD5->Append(h, pieces[i], sizes[i]);
    BYTE digest[16];
    g_pMD5->Finish(h, digest);
    return g_pMD5->HashToString(digest);
}

}  // namespace

TEST(MD5, Rfc1321SuiteGivesThePublishedDigestsInUpperCaseHex) {
    EXPECT_EQ(16, g_pMD5->GetHashLength());
    for (const Md5Vector_t& v : kRfc1321Suite) {
        const int n = static_cast<int>(strlen(v.message));
        EXPECT_STREQ(v.digest, g_pMD5->Hash(CString(v.message)).Ptr()) << '"' << v.message << '"';
        EXPECT_STREQ(v.digest, g_pMD5->Hash(v.message, n).Ptr()) << '"' << v.message << '"';
        EXPECT_STREQ(v.digest, IncrementalText({v.message}, {n}).Ptr()) << '"' << v.message << '"';
    }
}

TEST(MD5, EverySplitIntoAppendsGivesTheOneShotDigest) {
    // 80 bytes: splits fall on both sides of the 64-byte block boundary and
    // the padding spills into a second block.
    const Md5Vector_t& v = kRfc1321Suite[6];
    const int n = static_cast<int>(strlen(v.message));
    for (int i = 0; i <= n; i++) {
        for (int j = i; j <= n; j++) {
            ASSERT_STREQ(v.digest, IncrementalText({v.message, v.message + i, v.message + j}, {i, j - i, n - j}).Ptr())
                << "split at " << i << " and " << j;
        }
    }
}

TEST(MD5, MillionAsInUnevenAppendsGiveThePublishedDigest) {
    std::vector<char> a(1000000, 'a');
    const char* expected = "7707D6AE4E027C70EEA2A935C2296F21";
    EXPECT_STREQ(expected, g_pMD5->Hash(a.data(), static_cast<int>(a.size())).Ptr());
    HPartialHash h = g_pMD5->Start();
    size_t done = 0;
    for (int step = 1; done < a.size(); step = step * 3 % 1000 + 1) {
        size_t take = std::min(a.size() - done, static_cast<size_t>(step));
        g_pMD5->Append(h, a.data() + done, static_cast<int>(take));
        done += take;
    }
    BYTE digest[16];
    g_pMD5->Finish(h, digest);
    EXPECT_STREQ(expected, g_pMD5->HashToString(digest).Ptr());
}

TEST(MD5, StateStartsWithTheStandardWordsAndCountsBitsLowWordFirst) {
    md5_state_t state;
    md5_init(&state);
    EXPECT_EQ(0x67452301u, state.abcd[0]);
    EXPECT_EQ(0xEFCDAB89u, state.abcd[1]);
    EXPECT_EQ(0x98BADCFEu, state.abcd[2]);
    EXPECT_EQ(0x10325476u, state.abcd[3]);
    EXPECT_EQ(0u, state.count[0]);
    EXPECT_EQ(0u, state.count[1]);
    // 2^29 bytes are 2^32 bits: the count carries into the high word.
    state.count[0] = 0xFFFFFFF8u;
    md5_append(&state, reinterpret_cast<const md5_byte_t*>("abc"), 3);
    EXPECT_EQ(0x10u, state.count[0]);
    EXPECT_EQ(1u, state.count[1]);
}
