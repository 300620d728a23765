// The least work a CNG program does to hash a file with SHA-256: 64 KiB
// reads into one buffer. Prints key=value lines for the bench driver.
//
//   floor_cng FILE
#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <vector>

#include "bench_clock.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::printf("usage: floor_cng FILE\n");
        return 2;
    }
    constexpr DWORD kChunkBytes = 0x10000;
    BenchClock clock;
    clock.Start();
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    // No hash object buffer: CNG allocates it (Windows 7 and later).
    if (BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
        BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0) != 0) {
        std::printf("error=cng\n");
        return 1;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("error=open %lu\n", GetLastError());
        return 1;
    }
    std::vector<unsigned char> buffer(kChunkBytes);
    unsigned long long total = 0;
    DWORD read = 0;
    while (ReadFile(file, buffer.data(), kChunkBytes, &read, nullptr) && read != 0) {
        if (BCryptHashData(hash, buffer.data(), read, 0) != 0) {
            std::printf("error=hash\n");
            return 1;
        }
        total += read;
    }
    unsigned char digest[32];
    if (BCryptFinishHash(hash, digest, sizeof(digest), 0) != 0) {
        std::printf("error=finish\n");
        return 1;
    }
    const double seconds = clock.Seconds();
    CloseHandle(file);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(provider, 0);

    std::printf("seconds=%.6f\nbytes=%llu\nsha256=", seconds, total);
    for (unsigned char byte : digest) {
        std::printf("%02x", byte);
    }
    std::printf("\n");
    return 0;
}
