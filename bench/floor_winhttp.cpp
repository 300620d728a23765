// The least work a WinHTTP program does to receive a body over HTTPS: one
// GET, then only WinHttpQueryDataAvailable/WinHttpReadData into one reused
// buffer, bytes discarded. Prints key=value lines for the bench driver.
//
//   floor_winhttp HOST PATH         bytes discarded
//   floor_winhttp HOST PATH FILE    bytes written to FILE in 256 KiB blocks,
//                                   the least a download to a file adds
#include "bench_clock.h"
#include "floor_steps.h"

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
            return FloorFail("create");
        }
    }
    BenchClock clock;
    clock.Start();
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    if (!FloorConnect(argv[1], session, connection)) {
        return 1;
    }
    FloorRead read;
    if (const int failed = FloorGet(connection, argv[2], file, read)) {
        return failed;
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    const double seconds = clock.Seconds();
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);

    std::printf("seconds=%.6f\nbytes=%llu\nreads=%llu\n", seconds, read.Bytes, read.Reads);
    if (read.Reads != 0) {
        std::printf("chunk_avg=%llu\nchunk_min=%lu\nchunk_max=%lu\n", read.Bytes / read.Reads, read.Smallest,
                    read.Largest);
    }
    return 0;
}
