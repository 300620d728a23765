#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "release/error_text.h"
#include "release/failure_detail.h"
#include "release/manifest.h"
#include "release/manifest_fetch.h"
#include "release/transfer/download_report.h"
#include "release/trust/package_verification.h"
#include "platform/scoped_handle.h"
#include "release/url_policy.h"

// What an install attempt tells whoever runs it (the window's worker, the
// release tool's live check, a test), in this order: Progress(0) as it
// begins; InstallerNamed once the installer's path is formed (before the
// download); Progress as the download moves (0..100, when the server
// announced a length); then its last word, exactly one of Verified (the
// verified installer now at that path) or Failed (the user's sentence and
// what failed behind it, failure_detail.h). A member left empty is not
// called.
struct AttemptReport {
    std::function<void(unsigned percent)> Progress;
    std::function<void(const std::wstring& path)> InstallerNamed;
    std::function<void(const std::wstring& path)> Verified;
    std::function<void(const std::wstring& sentence, const FailureDetail& detail)> Failed;
};

// One whole install attempt in `workingDirectory` (an existing directory of
// the caller's; a user's attempt takes GetWorkingDirectory()), which gets
// the attempt's log lines and its download: manifest, installer URL check,
// download, SHA-256 verification. Returns 0 after Verified, 1 after Failed.
// The installer is downloaded into a file of the attempt's own and moved to
// the installer's path only once verified, so that name never holds
// unverified bytes; on failure the attempt's own file is deleted and
// whatever the installer's path holds is left alone. A path longer than
// MAX_PATH is refused before the download. No exception leaves it: one (an
// allocation that failed) is a failed attempt.
//
// Given `kept` (the window's, for "Try again"), a download cut part-way
// after its resumes is not deleted but kept there; the next attempt goes on
// from it when the manifest still names the same installer (URL, SHA-256
// and, signed, size) and the server's validator still matches, and deletes
// it otherwise. The installer's name still only ever receives verified
// bytes.
struct KeptDownload;
DWORD RunAttempt(const std::wstring& workingDirectory, const AttemptReport& report, KeptDownload* kept = nullptr);

// An installer download that a windowed attempt left part-way, for the next
// attempt of the same window to go on from: the attempt file under its own
// name, its handle held (writers kept out, and no sweep of attempt files can
// delete it), what the release and the server said of it, and the hash of
// the bytes it holds. Empty (no handle): none.
struct KeptDownload {
    ScopedFile Handle;
    std::wstring Path;
    std::wstring InstallerUrl;
    std::wstring InstallerSha256;
    unsigned long long InstallerSize = kAnyLength;
    PartialBody Body;
    RunningSha256 Hash;

    KeptDownload() = default;
    KeptDownload(const KeptDownload&) = delete;
    KeptDownload& operator=(const KeptDownload&) = delete;
    // Closes the file and deletes it.
    void Discard();
};

// The manifest's SHA-256 text and the computed one name the same value:
// both trimmed and folded A to Z, then compared whole.
bool Sha256TextsMatch(const std::wstring& expected, const std::wstring& computed);
