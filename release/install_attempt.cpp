#include "release/install_attempt.h"

#include "app/app_state.h"
#include "release/https_transfer.h"
#include "release/manifest.h"
#include "release/package_verification.h"
#include "release/release_messages.h"
#include "release/url_policy.h"
#include "storage/installer_log.h"
#include "storage/working_directory.h"

namespace {

constexpr size_t kSha256HexLength = 64;

DWORD FailAttempt(const std::wstring& message)
{
    AppState.LastFailureText = message;
    PostMessageW(AppState.MainWindow, WM_INSTALLER_FAILED, 0, 0);
    return 1;
}

// The value of a key, or null when the manifest lacks it.
const std::wstring* FindValue(const ReleaseManifest& manifest, const wchar_t* key)
{
    const auto entry = manifest.find(key);
    return entry == manifest.end() ? nullptr : &entry->second;
}

}  // namespace

std::wstring ManifestUrl()
{
    return std::wstring(L"https://") + kOfficialHost + L"/updates/tavro-update.txt";
}

bool IsSafeVersionText(const std::wstring& version)
{
    for (wchar_t c : version) {
        if (c < 0x20 || std::wstring(L"\\/:*?\"<>|").find(c) != std::wstring::npos) {
            return false;
        }
    }
    return true;
}

std::wstring InstallerFileName(const std::wstring& version)
{
    return L"TAVRO-Static-Module-Setup-" + version + L".exe";
}

bool Sha256TextsMatch(const std::wstring& expected, const std::wstring& computed)
{
    return FoldAsciiCase(TrimWhitespace(expected)) == FoldAsciiCase(TrimWhitespace(computed));
}

DWORD WINAPI RunInstallAttempt(LPVOID)
{
    ErrorText error;
    WriteLogLine(kLogCheckingManifest);
    PostMessageW(AppState.MainWindow, WM_INSTALLER_PROGRESS, 0, 0);

    ByteBuffer manifestBytes;
    if (!DownloadUrl(ManifestUrl(), manifestBytes, std::wstring(), false, error)) {
        return FailAttempt(error);
    }
    const ReleaseManifest manifest = ParseReleaseManifest(Utf8ToWide(manifestBytes));

    const std::wstring* version = FindValue(manifest, L"version");
    const std::wstring* installerUrl = FindValue(manifest, L"installerurl");
    const std::wstring* expectedSha256 = FindValue(manifest, L"installersha256");
    if (version == nullptr || installerUrl == nullptr || expectedSha256 == nullptr || version->empty() ||
        installerUrl->empty() || expectedSha256->size() != kSha256HexLength) {
        return FailAttempt(kMsgManifestIncomplete);
    }

    ReleaseEndpoint endpoint;
    if (!ParseReleaseUrl(*installerUrl, endpoint, error)) {
        return FailAttempt(error);
    }
    // The version becomes part of a file name: a separator, drive or stream
    // colon, wildcard or control character could reach outside the directory.
    if (!IsSafeVersionText(*version)) {
        return FailAttempt(kMsgManifestBadVersion);
    }

    AppState.InstallerPath = GetWorkingDirectory() + L"\\" + InstallerFileName(*version);
    WriteLogLine(kLogDownloadingPrefix + *version + L".");

    ByteBuffer unused;
    if (!DownloadUrl(*installerUrl, unused, AppState.InstallerPath, true, error)) {
        DeleteFileW(AppState.InstallerPath.c_str());
        return FailAttempt(error);
    }

    std::wstring computedSha256;
    const bool hashed = ComputeFileSha256(computedSha256, error);
    if (!hashed || !Sha256TextsMatch(*expectedSha256, computedSha256)) {
        DeleteFileW(AppState.InstallerPath.c_str());
        AppState.LastFailureText = error.empty() ? std::wstring(kMsgHashMismatch) : error;
        WriteLogLine(kLogHashFailed);
        PostMessageW(AppState.MainWindow, WM_INSTALLER_FAILED, 0, 0);
        return 1;
    }

    WriteLogLine(kLogVerified);
    PostMessageW(AppState.MainWindow, WM_INSTALLER_VERIFIED, 0, 0);
    return 0;
}
