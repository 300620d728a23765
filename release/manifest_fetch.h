#pragma once

#include <string>
#include <vector>

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

// A build with manifest keys: the release from the first host that gives a
// verified manifest, asking the official host, then each mirror host in
// order (release_hosts.h), for ManifestUrlOn(host). Each host's bytes are
// checked as FetchRelease checks the official host's: the signature, the
// expiry, the sequence against this user's record, and an origin line that
// names ManifestUrl(), whichever host served them. A host that gives none
// gets a log line in `directory` when another is asked after it. The
// manifest that verified is then held to CheckReleaseManifest and its
// installer places to InstallerUrls, and no other host is asked: it is the
// publisher's signed word. On success fills `release`, `installerSize` and
// `installerUrls` (in the manifest's order, but the places on a host that
// gave the manifest request no answer at all come last); when no host gives a verified manifest, assigns the
// official host's sentence and, in `detail`, what each host did
// (JoinDetails). FetchRelease of such a build is this call.
[[nodiscard]] bool FetchSignedRelease(const std::wstring& directory, TransferSessions& sessions,
                                      ReleaseFields& release, unsigned long long& installerSize,
                                      std::vector<std::wstring>& installerUrls, ErrorText& error,
                                      FailureDetail& detail);
