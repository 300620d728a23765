// The least work a WinHTTP program does to receive a body over HTTPS: one
// GET, then only WinHttpQueryDataAvailable/WinHttpReadData into one reused
// buffer, bytes discarded. Prints key=value lines for the bench driver.
//
//   floor_winhttp HOST PATH         bytes discarded
//   floor_winhttp HOST PATH FILE    bytes written to FILE in 256 KiB blocks,
//                                   the least a download to a file adds
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <vector>

#include "bench_clock.h"

namespace {

constexpr DWORD kBufferBytes = 1 << 20;
constexpr DWORD kFileBlockBytes = 256 * 1024;

int Fail(const char* step)
{
    std::printf("error=%s %lu\n", step, GetLastError());
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3 && argc != 4) {
        std::printf("usage: floor_winhttp HOST PATH [FILE]\n");
        return 2;
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    if (argc == 4) {
        file = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return Fail("create");
        }
    }
    BenchClock clock;
    clock.Start();
    HINTERNET session = WinHttpOpen(L"floor", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = session ? WinHttpConnect(session, argv[1], INTERNET_DEFAULT_HTTPS_PORT, 0) : nullptr;
    HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", argv[2], nullptr, WINHTTP_NO_REFERER,
                                                        WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                                   : nullptr;
    if (request == nullptr) {
        return Fail("open");
    }
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
        return Fail("send");
    }

    // One buffer for the whole body; a report larger than it is read in parts.
    // With a file, the buffer fills up to one block before each write.
    std::vector<unsigned char> buffer(kBufferBytes);
    const DWORD capacity = file == INVALID_HANDLE_VALUE ? kBufferBytes : kFileBlockBytes;
    DWORD pending = 0;
    DWORD written = 0;
    unsigned long long total = 0;
    unsigned long long reads = 0;
    DWORD smallest = 0xFFFFFFFF;
    DWORD largest = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return Fail("query");
        }
        if (available == 0) {
            break;
        }
        smallest = available < smallest ? available : smallest;
        largest = available > largest ? available : largest;
        if (pending == capacity) {
            if (!WriteFile(file, buffer.data(), pending, &written, nullptr)) {
                return Fail("write");
            }
            pending = 0;
        }
        const DWORD room = capacity - pending;
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.data() + pending, available < room ? available : room, &read)) {
            return Fail("read");
        }
        if (file != INVALID_HANDLE_VALUE) {
            pending += read;
        }
        total += read;
        ++reads;
    }
    if (pending != 0 && !WriteFile(file, buffer.data(), pending, &written, nullptr)) {
        return Fail("write");
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    const double seconds = clock.Seconds();
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);

    std::printf("seconds=%.6f\nbytes=%llu\nreads=%llu\n", seconds, total, reads);
    if (reads != 0) {
        std::printf("chunk_avg=%llu\nchunk_min=%lu\nchunk_max=%lu\n", total / reads, smallest, largest);
    }
    return 0;
}
