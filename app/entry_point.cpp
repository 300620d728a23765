#include "app/entry_point.h"

#include <cwchar>
#include <string>

#include "app/app_state.h"
#include "app/attempt_worker.h"
#include "app/installer_window.h"
#include "platform/system_libraries.h"
#include "release/build_settings.h"
#include "release/install_attempt.h"
#include "release/manifest.h"
#include "release/url_policy.h"

LaunchMode SelectLaunchMode(const wchar_t* commandLine)
{
    if (commandLine == nullptr) {
        return LaunchMode::Windowed;
    }
    if (std::wcsstr(commandLine, L"--self-test") != nullptr) {
        return LaunchMode::SelfTest;
    }
    if (std::wcsstr(commandLine, L"--download-test") != nullptr) {
        return LaunchMode::DownloadTest;
    }
    return LaunchMode::Windowed;
}

bool RunSelfTest()
{
    const std::wstring official(kOfficialHost);
    const std::wstring sample = L"version=1.2.3.4\n"
                                L"installerUrl=https://" + official + L"/releases/setup.exe\n"
                                L"installerSha256=0123456789abcdef0123456789abcdef"
                                L"0123456789abcdef0123456789abcdef\n";
    const ReleaseManifest manifest = ParseReleaseManifest(sample);

    const auto url = manifest.find(L"installerurl");
    if (url == manifest.end()) {
        return false;
    }
    if (manifest.find(L"installersha256") == manifest.end()) {
        return false;
    }

    ReleaseEndpoint endpoint;
    ErrorText error;
    if (!ParseReleaseUrl(url->second, endpoint, error)) {
        return false;
    }
    // Both refusals are expected; their sentences are discarded.
    if (ParseReleaseUrl(L"http://" + official + L"/setup.exe", endpoint, error)) {
        return false;
    }
    if (ParseReleaseUrl(L"https://downloads.example.invalid/setup.exe", endpoint, error)) {
        return false;
    }
    return true;
}

void HardenProcess()
{
    HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);

    // Looked up rather than imported: Windows 7 has it only with KB2533623,
    // and a missing import would stop the program before it starts.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories == nullptr || !setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        // At least keep the current directory out of the search. The
        // program's own folder stays in it, so a delay-loaded DLL must be
        // loaded by full path before anything could ask for it by name.
        SetDllDirectoryW(L"");
        LoadFromSystemDirectory(kWinHttpDll);
        LoadFromSystemDirectory(kBcryptDll);
        LoadFromSystemDirectory(kCommonControlsDll);
        if (kRequiredPublisher[0] != L'\0') {
            LoadFromSystemDirectory(kWinTrustDll);
            LoadFromSystemDirectory(kCrypt32Dll);
        }
    }
}

int RunInstaller(HINSTANCE instance, const wchar_t* commandLine, int showCommand)
{
    switch (SelectLaunchMode(commandLine)) {
    case LaunchMode::SelfTest:
        // The URL policy cracks URLs with WinHTTP.
        LoadFromSystemDirectory(kWinHttpDll);
        return RunSelfTest() ? 0 : 1;
    case LaunchMode::DownloadTest: {
        // MainWindow stays null, so the worker's posts go nowhere; no window
        // logs the failure, so its detail is logged here.
        const DWORD result = RunInstallAttempt(nullptr);
        if (result != 0) {
            WriteFailureDetail();
        }
        return static_cast<int>(result);
    }
    case LaunchMode::Windowed:
        break;
    }
    return RunInstallerWindow(instance, showCommand);
}
