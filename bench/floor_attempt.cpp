// The least work a WinHTTP + CNG program does for a whole install attempt,
// in one process as the installer is: the manifest's GET, the installer's
// GET on the same connection written to FILE in 256 KiB blocks, then the
// SHA-256 of FILE as stored. No log, no working directory, no second
// connection.
// Prints key=value lines for the bench driver.
//
//   floor_attempt HOST MANIFEST_PATH INSTALLER_PATH FILE
#include "bench_clock.h"
#include "floor_steps.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5) {
        std::printf("usage: floor_attempt HOST MANIFEST_PATH INSTALLER_PATH FILE\n");
        return 2;
    }
    BenchClock clock;
    clock.Start();
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    if (!FloorConnect(argv[1], session, connection)) {
        return 1;
    }
    FloorRead manifest;
    if (const int failed = FloorGet(connection, argv[2], INVALID_HANDLE_VALUE, manifest)) {
        return failed;
    }
    HANDLE file = CreateFileW(argv[4], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return FloorFail("create");
    }
    FloorRead installer;
    if (const int failed = FloorGet(connection, argv[3], file, installer)) {
        return failed;
    }
    CloseHandle(file);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    unsigned char digest[32];
    unsigned long long hashed = 0;
    if (const int failed = FloorHashFile(argv[4], digest, hashed)) {
        return failed;
    }
    std::printf("seconds=%.6f\nbytes=%llu\n", clock.Seconds(), installer.Bytes);
    PrintSha256(digest);
    return 0;
}
