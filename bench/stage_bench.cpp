// Times one stage of the install attempt through the installer's own code,
// in-process, so that Wine's process start-up is left out. Prints key=value
// lines for the bench driver.
//
//   stage_bench hash FILE                      ComputeFileSha256
//   stage_bench download URL FILE [noprogress] DownloadUrl into a file
//
// The download posts progress as the attempt does (to no window, as in
// --download-test); "noprogress" turns that off to show what it costs.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/app_state.h"
#include "bench_clock.h"
#include "release/https_transfer.h"
#include "release/package_verification.h"

namespace {

int Report(bool ok, double seconds, const ErrorText& error)
{
    if (!ok) {
        std::printf("error=%ls\n", error.c_str());
        return 1;
    }
    std::printf("seconds=%.6f\n", seconds);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    BenchClock clock;
    ErrorText error;
    if (argc == 3 && std::wcscmp(argv[1], L"hash") == 0) {
        AppState.InstallerPath = argv[2];
        std::wstring digest;
        clock.Start();
        const bool ok = ComputeFileSha256(digest, error);
        const double seconds = clock.Seconds();
        if (ok) {
            std::printf("sha256=%ls\n", digest.c_str());
        }
        return Report(ok, seconds, error);
    }
    if ((argc == 4 || argc == 5) && std::wcscmp(argv[1], L"download") == 0) {
        const bool progress = argc == 4 || std::wcscmp(argv[4], L"noprogress") != 0;
        ByteBuffer unused;
        clock.Start();
        const bool ok = DownloadUrl(argv[2], unused, argv[3], progress, error);
        return Report(ok, clock.Seconds(), error);
    }
    std::printf("usage: stage_bench hash FILE | download URL FILE [noprogress]\n");
    return 2;
}
