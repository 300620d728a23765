// The least work a CNG program does to hash a file with SHA-256: 64 KiB
// reads into one buffer. Prints key=value lines for the bench driver.
//
//   floor_cng FILE
#include "bench_clock.h"
#include "floor_steps.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::printf("usage: floor_cng FILE\n");
        return 2;
    }
    BenchClock clock;
    clock.Start();
    unsigned char digest[32];
    unsigned long long total = 0;
    if (const int failed = FloorHashFile(argv[1], digest, total)) {
        return failed;
    }
    std::printf("seconds=%.6f\nbytes=%llu\n", clock.Seconds(), total);
    PrintSha256(digest);
    return 0;
}
