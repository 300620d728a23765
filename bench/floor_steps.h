#pragma once

// The least work a WinHTTP + CNG program does for each step of a download,
// shared by the floor programs: a synchronous GET read with
// WinHttpQueryDataAvailable/WinHttpReadData into one reused buffer, and a
// SHA-256 of a file in 64 KiB reads.
#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <cstdio>
#include <vector>

// What a floor GET read.
struct FloorRead {
    unsigned long long Bytes = 0;
    unsigned long long Reads = 0;
    DWORD Smallest = 0xFFFFFFFF;
    DWORD Largest = 0;
};

inline int FloorFail(const char* step)
{
    std::printf("error=%s %lu\n", step, GetLastError());
    return 1;
}

// A synchronous session and its connection to `host`:443; false with the
// error printed when either fails.
inline bool FloorConnect(const wchar_t* host, HINTERNET& session, HINTERNET& connection)
{
    session = WinHttpOpen(L"floor", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
    connection = session ? WinHttpConnect(session, host, INTERNET_DEFAULT_HTTPS_PORT, 0) : nullptr;
    if (connection == nullptr) {
        FloorFail("open");
        return false;
    }
    return true;
}

// One GET of `path` on `connection`, the body discarded, or with `file`
// written to it in 256 KiB blocks, the least a download to a file adds.
// 0, or the exit code of the step that failed.
inline int FloorGet(HINTERNET connection, const wchar_t* path, HANDLE file, FloorRead& read)
{
    constexpr DWORD kBufferBytes = 1 << 20;
    constexpr DWORD kFileBlockBytes = 256 * 1024;
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (request == nullptr) {
        return FloorFail("open");
    }
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
        return FloorFail("send");
    }
    // One buffer for the whole body; a report larger than it is read in parts.
    // With a file, the buffer fills up to one block before each write.
    static std::vector<unsigned char> buffer(kBufferBytes);
    const DWORD capacity = file == INVALID_HANDLE_VALUE ? kBufferBytes : kFileBlockBytes;
    DWORD pending = 0;
    DWORD written = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return FloorFail("query");
        }
        if (available == 0) {
            break;
        }
        read.Smallest = available < read.Smallest ? available : read.Smallest;
        read.Largest = available > read.Largest ? available : read.Largest;
        if (pending == capacity) {
            if (!WriteFile(file, buffer.data(), pending, &written, nullptr)) {
                return FloorFail("write");
            }
            pending = 0;
        }
        const DWORD room = capacity - pending;
        DWORD count = 0;
        if (!WinHttpReadData(request, buffer.data() + pending, available < room ? available : room, &count)) {
            return FloorFail("read");
        }
        if (file != INVALID_HANDLE_VALUE) {
            pending += count;
        }
        read.Bytes += count;
        ++read.Reads;
    }
    if (pending != 0 && !WriteFile(file, buffer.data(), pending, &written, nullptr)) {
        return FloorFail("write");
    }
    WinHttpCloseHandle(request);
    return 0;
}

// SHA-256 of the file at `path`, in 64 KiB reads. 0, or the exit code of the
// step that failed.
inline int FloorHashFile(const wchar_t* path, unsigned char (&digest)[32], unsigned long long& total)
{
    constexpr DWORD kChunkBytes = 0x10000;
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    // No hash object buffer: CNG allocates it (Windows 7 and later).
    if (BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
        BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0) != 0) {
        return FloorFail("cng");
    }
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return FloorFail("open");
    }
    std::vector<unsigned char> buffer(kChunkBytes);
    total = 0;
    DWORD read = 0;
    while (ReadFile(file, buffer.data(), kChunkBytes, &read, nullptr) && read != 0) {
        if (BCryptHashData(hash, buffer.data(), read, 0) != 0) {
            return FloorFail("hash");
        }
        total += read;
    }
    if (BCryptFinishHash(hash, digest, sizeof(digest), 0) != 0) {
        return FloorFail("finish");
    }
    CloseHandle(file);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(provider, 0);
    return 0;
}

inline void PrintSha256(const unsigned char (&digest)[32])
{
    std::printf("sha256=");
    for (unsigned char byte : digest) {
        std::printf("%02x", byte);
    }
    std::printf("\n");
}
