// bench_crypto: throughput of the CRC, MD5 and Thin-ICE over a 1 MiB buffer,
// beside memcpy of the same buffer in the same run (the ceiling any pass over
// the bytes can reach) and a byte-at-a-time CRC (what the widened table buys).
// Figures are MB/s (10^6 bytes per second), the best of many short timed
// runs, so a busy neighbour on the machine disturbs them less.
//
//   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
//   ninja -j2 -C build/release bench_crypto && ./build/release/bench/bench_crypto
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/src/crypto/crc.h"
#include "common/src/crypto/icekey.h"
#include "common/src/crypto/md5.h"

namespace {

const int kBufferSize = 1 << 20;
const int kTrials = 15;
const double kTrialSeconds = 0.1;

// Keeps the compiler from discarding work whose result is never read.
inline void Consume(const void* p) { asm volatile("" : : "r"(p) : "memory"); }

// Best MB/s over the trials of fn, which processes kBufferSize bytes per call.
template <class Fn>
double MeasureMBps(Fn fn) {
    typedef std::chrono::steady_clock Clock_t;
    fn();  // warm caches and tables
    double best = 0;
    for (int trial = 0; trial < kTrials; trial++) {
        long long calls = 0;
        Clock_t::time_point start = Clock_t::now();
        double seconds = 0;
        do {
            fn();
            calls++;
            seconds = std::chrono::duration<double>(Clock_t::now() - start).count();
        } while (seconds < kTrialSeconds);
        double mbps = static_cast<double>(calls) * kBufferSize / seconds / 1e6;
        if (mbps > best) best = mbps;
    }
    return best;
}

DWORD ByteWiseRegister(const BYTE* p, int size) {
    static DWORD s_Table[256];
    if (s_Table[1] == 0) {
        for (DWORD n = 0; n < 256; n++) s_Table[n] = CCRC::TableEntry(n);
    }
    DWORD crc = 0xFFFFFFFFu;
    for (int i = 0; i < size; i++) crc = (crc >> 8) ^ s_Table[(crc ^ p[i]) & 0xFF];
    return crc;
}

void Report(const char* name, double mbps, double memcpyMBps) {
    printf("%-28s %10.1f MB/s   %6.4f of memcpy\n", name, mbps, mbps / memcpyMBps);
}

}  // namespace

int main() {
    std::vector<BYTE> src(kBufferSize), dst(kBufferSize);
    DWORD seed = 1;
    for (BYTE& b : src) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<BYTE>(seed >> 24);
    }
    unsigned char key[8] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x23, 0x45, 0x67};
    CIceKey ice;
    ice.SetKey(key);

    DWORD crc = 0, refCrc = 0;
    BYTE digest[16];

    printf("bench_crypto: %d-byte buffers, best of %d runs of at least %.1f s each\n", kBufferSize, kTrials,
           kTrialSeconds);
    double memcpyMBps = MeasureMBps([&] {
        memcpy(dst.data(), src.data(), kBufferSize);
        Consume(dst.data());
    });
    Report("memcpy", memcpyMBps, memcpyMBps);
    Report("CRC (g_pCRC->Hash)", MeasureMBps([&] {
               g_pCRC->Hash(src.data(), kBufferSize, &crc);
               Consume(&crc);
           }),
           memcpyMBps);
    Report("CRC byte at a time (ref.)", MeasureMBps([&] {
               refCrc = ByteWiseRegister(src.data(), kBufferSize);
               Consume(&refCrc);
           }),
           memcpyMBps);
    Report("MD5 (g_pMD5->Hash)", MeasureMBps([&] {
               g_pMD5->Hash(src.data(), kBufferSize, digest);
               Consume(digest);
           }),
           memcpyMBps);
    Report("ICE encrypt (in -> out)", MeasureMBps([&] {
               ice.Encrypt(src.data(), dst.data(), kBufferSize);
               Consume(dst.data());
           }),
           memcpyMBps);
    Report("ICE decrypt (in place)", MeasureMBps([&] {
               ice.Decrypt(dst.data(), kBufferSize);
               Consume(dst.data());
           }),
           memcpyMBps);
    // What the message layer does to every byte it carries: a checksum on
    // each side of enciphering.
    Report("CRC + ICE encrypt + CRC", MeasureMBps([&] {
               g_pCRC->Hash(src.data(), kBufferSize, &crc);
               ice.Encrypt(src.data(), dst.data(), kBufferSize);
               g_pCRC->Hash(dst.data(), kBufferSize, &crc);
               Consume(&crc);
           }),
           memcpyMBps);

    // The widened CRC must agree with the byte-wise one; the cipher must undo.
    g_pCRC->Hash(src.data(), kBufferSize, &crc);
    ice.Encrypt(src.data(), dst.data(), kBufferSize);
    ice.Decrypt(dst.data(), kBufferSize);
    bool ok = crc == refCrc && memcmp(src.data(), dst.data(), kBufferSize) == 0;
    printf("checks: CRC register %08X, byte-wise %08X, ICE round trip %s\n", crc, refCrc,
           memcmp(src.data(), dst.data(), kBufferSize) == 0 ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
