#pragma once

#include <string>

#include "release/error_text.h"
#include "release/failure_detail.h"
#include "release/manifest.h"

class TransferSessions;  // release/transfer/async_request.h

// The release an attempt installs, as the official host's manifest names
// it: the manifest fetched and, in a build with manifest keys, verified,
// then held to the attempt's rules.

// The three values an attempt takes from the manifest (manifest_fields.h).
struct ReleaseFields {
    std::wstring Version;
    std::wstring InstallerUrl;
    std::wstring InstallerSha256;
    // After a refusal: the manifest key it is about.
    const wchar_t* FaultyKey = nullptr;
};

// The attempt's rules for a parsed manifest, in its order: every field of
// kManifestFields that is not signed-only there and of its shape (version
// and URL not empty, a 64-character SHA-256 text); the URL policy; a
// version that is safe in a file name. On success fills the values; on
// failure assigns the sentence the installer shows and sets FaultyKey (the
// field's name as the table writes it).
[[nodiscard]] bool CheckReleaseManifest(const ReleaseManifest& manifest, ReleaseFields& fields, ErrorText& error);

// A version may become part of a file name only when it holds none of
// \ / : * ? " < > | and no control character (U+0000..U+001F, DEL and
// U+0080..U+009F: IsControlCharacter), and the installer's file name it
// makes fits in kMaxFileNameLength characters.
constexpr size_t kMaxFileNameLength = 255;  // UTF-16 code units, as the file systems count
bool IsSafeVersionText(const std::wstring& version);

// "TAVRO-Static-Module-Setup-" + version + ".exe"
std::wstring InstallerFileName(const std::wstring& version);

// The manifest from the official host, as an attempt in `directory` takes
// it: fetched (the transfer's rules, through the attempt's `sessions`), in a build with manifest keys checked
// with this user's sequence record (CheckSignedManifest) and read on from
// its signed bytes alone, then held to CheckReleaseManifest. On success
// fills `release`, and `installerSize` with the signed installer size (else
// kAnyLength). On failure assigns the user's sentence and what failed.
[[nodiscard]] bool FetchRelease(const std::wstring& directory, TransferSessions& sessions, ReleaseFields& release,
                                unsigned long long& installerSize, ErrorText& error, FailureDetail& detail);
