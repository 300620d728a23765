// Times one stage of the install attempt through the installer's own code,
// in-process, so that Wine's process start-up is left out. Prints key=value
// lines for the bench driver.
//
//   stage_bench hash FILE                    ComputeHandleSha256 over the open file
//   stage_bench download URL FILE            DownloadUrlToFile through a file the
//                                            bench opened, progress reported and
//                                            counted, no window
//   stage_bench signature FILE PUBLISHER     CheckPublisherSignature over the open
//                                            file, as a build with TAVRO_PUBLISHER
//                                            checks a verified download
//   stage_bench download URL FILE window     the same on a worker thread while
//                                            this thread's window takes the
//                                            progress posts, as the installer window does
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "bench_clock.h"
#include "release/transfer/https_transfer.h"
#include "release/trust/package_verification.h"
#include "release/trust/publisher_signature.h"
#include "platform/scoped_handle.h"

namespace {

constexpr UINT kProgress = WM_APP + 1;
constexpr UINT kDownloadDone = WM_APP + 100;
HWND BenchWindow = nullptr;

struct WindowedDownload {
    const wchar_t* Url;
    const wchar_t* File;
    bool Ok;
    ErrorText Error;
};

unsigned long ProgressPosts = 0;

LRESULT CALLBACK CountingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kProgress) {
        ++ProgressPosts;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The attempt writes through the handle of a file it created itself, and
// hands its progress on: to the window, as the window's worker posts it,
// or counted where there is none.
bool DownloadToNewFile(const wchar_t* url, const wchar_t* path, ErrorText& error)
{
    const ScopedFile file(NullIfInvalid(CreateFileW(path, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
    DownloadReport report;
    report.Progress = [](unsigned percent) {
        if (BenchWindow != nullptr) {
            PostMessageW(BenchWindow, kProgress, percent, 0);
        } else {
            ++ProgressPosts;
        }
    };
    return file.IsValid() && DownloadUrlToFile(url, file.Get(), report, error);
}

DWORD WINAPI DownloadOnWorker(LPVOID parameter)
{
    auto* job = static_cast<WindowedDownload*>(parameter);
    job->Ok = DownloadToNewFile(job->Url, job->File, job->Error);
    PostMessageW(BenchWindow, kDownloadDone, 0, 0);
    return 0;
}

// The download on a worker while this thread pumps the window's messages.
bool DownloadWithWindow(const wchar_t* url, const wchar_t* file, ErrorText& error)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = CountingWindowProc;
    windowClass.lpszClassName = L"StageBenchWindow";
    RegisterClassW(&windowClass);
    BenchWindow = CreateWindowW(windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        nullptr, nullptr);
    WindowedDownload job = {url, file, false, ErrorText()};
    const HANDLE worker = CreateThread(nullptr, 0, DownloadOnWorker, &job, 0, nullptr);
    MSG message = {};
    while (worker != nullptr && GetMessageW(&message, nullptr, 0, 0) > 0 && message.message != kDownloadDone) {
        DispatchMessageW(&message);
    }
    if (worker != nullptr) {
        WaitForSingleObject(worker, INFINITE);
        CloseHandle(worker);
    }
    error = job.Error;
    return job.Ok;
}

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
        const ScopedFile file(NullIfInvalid(
            CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
        std::wstring digest;
        clock.Start();
        const bool ok = ComputeHandleSha256(file.Get(), digest, error);
        const double seconds = clock.Seconds();
        if (ok) {
            std::printf("sha256=%ls\n", digest.c_str());
        }
        return Report(ok, seconds, error);
    }
    if (argc == 4 && std::wcscmp(argv[1], L"download") == 0) {
        clock.Start();
        const bool ok = DownloadToNewFile(argv[2], argv[3], error);
        return Report(ok, clock.Seconds(), error);
    }
    if (argc == 5 && std::wcscmp(argv[1], L"download") == 0 && std::wcscmp(argv[4], L"window") == 0) {
        clock.Start();
        const bool ok = DownloadWithWindow(argv[2], argv[3], error);
        const double seconds = clock.Seconds();
        std::printf("progress_posts=%lu\n", ProgressPosts);
        return Report(ok, seconds, error);
    }
    if (argc == 4 && std::wcscmp(argv[1], L"signature") == 0) {
        const ScopedFile file(NullIfInvalid(
            CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
        clock.Start();
        const bool ok = CheckPublisherSignature(file.Get(), argv[2], argv[3], error);
        const double seconds = clock.Seconds();
        std::printf("verified=%d\n", ok ? 1 : 0);
        return Report(ok, seconds, error);
    }
    std::printf("usage: stage_bench hash FILE | signature FILE PUBLISHER | download URL FILE [window]\n");
    return 2;
}
