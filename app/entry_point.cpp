#include "app/entry_point.h"

#include <cwchar>
#include <string>

#include "app/app_state.h"
#include "app/installer_window.h"
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

int RunInstaller(HINSTANCE instance, const wchar_t* commandLine, int showCommand)
{
    switch (SelectLaunchMode(commandLine)) {
    case LaunchMode::SelfTest:
        return RunSelfTest() ? 0 : 1;
    case LaunchMode::DownloadTest:
        // MainWindow stays null, so the worker's posts go nowhere.
        return static_cast<int>(RunInstallAttempt(nullptr));
    case LaunchMode::Windowed:
        break;
    }
    return RunInstallerWindow(instance, showCommand);
}
