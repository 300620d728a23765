#include "app/attempt_worker.h"

#include "app/app_state.h"
#include "release/install_attempt.h"
#include "storage/working_directory.h"

DWORD WINAPI RunInstallAttempt(LPVOID kept)
{
    // Each value is written before the post that announces it; the window
    // reads it only while handling that post.
    AttemptReport report;
    report.Progress = [](unsigned percent) { PostToMainWindow(WM_INSTALLER_PROGRESS, percent); };
    report.InstallerNamed = [](const std::wstring& path) { AppState.InstallerPath = path; };
    report.Verified = [](const std::wstring& path) {
        AppState.InstallerPath = path;
        PostToMainWindow(WM_INSTALLER_VERIFIED, 0);
    };
    report.Failed = [](const std::wstring& sentence, const FailureDetail& detail) {
        AppState.LastFailureText = sentence;
        AppState.LastFailureDetail = detail;
        PostToMainWindow(WM_INSTALLER_FAILED, 0);
    };
    return RunAttempt(GetWorkingDirectory(), report, static_cast<KeptDownload*>(kept));
}
