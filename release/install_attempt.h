#pragma once

#include <windows.h>

#include <string>

#include "release/error_text.h"
#include "release/manifest.h"

// One whole install attempt: manifest, installer URL check, download into the
// working directory, SHA-256 verification. Shaped as a thread start routine;
// the parameter is ignored. Returns 0 after posting WM_INSTALLER_VERIFIED
// (the verified file stays at AppState.InstallerPath), 1 after posting
// WM_INSTALLER_FAILED with the sentence in AppState.LastFailureText. The
// installer is downloaded into a file of the attempt's own and moved to
// InstallerPath only once verified, so that name never holds unverified
// bytes; on failure the attempt's own file is deleted and InstallerPath is
// left as it was. A version that would make InstallerPath longer than
// MAX_PATH is refused before the download. No exception leaves it: one (an
// allocation that failed) is a failed attempt.
DWORD WINAPI RunInstallAttempt(LPVOID unused);

// The three values an attempt takes from the manifest.
struct ReleaseFields {
    std::wstring Version;
    std::wstring InstallerUrl;
    std::wstring InstallerSha256;
    // After a refusal: the manifest key it is about.
    const wchar_t* FaultyKey = nullptr;
};

// The attempt's rules for a parsed manifest, in its order: the three keys
// present, version and URL not empty and a 64-character SHA-256 text; the URL
// policy; a version that is safe in a file name. On success fills the values;
// on failure assigns the sentence the installer shows and sets FaultyKey.
[[nodiscard]] bool CheckReleaseManifest(const ReleaseManifest& manifest, ReleaseFields& fields, ErrorText& error);

// "https://" + official host + "/updates/tavro-update.txt".
std::wstring ManifestUrl();

// A version may become part of a file name only when it holds none of
// \ / : * ? " < > | and no control character U+0000..U+001F, and the
// installer's file name it makes fits in kMaxFileNameLength characters.
constexpr size_t kMaxFileNameLength = 255;  // UTF-16 code units, as the file systems count
bool IsSafeVersionText(const std::wstring& version);

// "TAVRO-Static-Module-Setup-" + version + ".exe"
std::wstring InstallerFileName(const std::wstring& version);

// The manifest's SHA-256 text and the computed one name the same value:
// both trimmed and folded A to Z, then compared whole.
bool Sha256TextsMatch(const std::wstring& expected, const std::wstring& computed);
