#pragma once

#include <windows.h>

#include <string>

// One whole install attempt: manifest, installer URL check, download into the
// working directory, SHA-256 verification. Shaped as a thread start routine;
// the parameter is ignored. Returns 0 after posting WM_INSTALLER_VERIFIED
// (the verified file stays at AppState.InstallerPath), 1 after posting
// WM_INSTALLER_FAILED with the sentence in AppState.LastFailureText. The
// installer is downloaded into a file of the attempt's own and moved to
// InstallerPath only once verified, so that name never holds unverified
// bytes; on failure the attempt's file and InstallerPath are deleted. No
// exception leaves it: one (an allocation that failed) is a failed attempt.
DWORD WINAPI RunInstallAttempt(LPVOID unused);

// "https://" + official host + "/updates/tavro-update.txt".
std::wstring ManifestUrl();

// A version may become part of a file name only when it holds none of
// \ / : * ? " < > | and no control character U+0000..U+001F.
bool IsSafeVersionText(const std::wstring& version);

// "TAVRO-Static-Module-Setup-" + version + ".exe"
std::wstring InstallerFileName(const std::wstring& version);

// The manifest's SHA-256 text and the computed one name the same value:
// both trimmed and folded A to Z, then compared whole.
bool Sha256TextsMatch(const std::wstring& expected, const std::wstring& computed);
