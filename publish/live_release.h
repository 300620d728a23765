#pragma once

#include <string>
#include <vector>

#include "release/error_text.h"

// What a user's install attempt gets from the official host now.
struct LiveOutcome {
    bool Verified = false;
    std::wstring UserSees;        // the installer's sentence, when not verified,
    std::wstring Detail;          // and what failed behind it (failure_detail.h)
    std::wstring InstallerName;   // when verified: the file's name,
    std::wstring Sha256;          // its SHA-256 (lower-case hex)
    unsigned long long Size = 0;  // and its size in bytes
    // A build with manifest keys, when verified: what the live manifest says
    // of itself.
    bool Signed = false;
    long long ExpiresSeconds = 0;    // UTC, since 1970
    unsigned long long Sequence = 0;
};

// Runs the installer's own attempt (RunAttempt) without a window, in a new
// directory under the temporary directory, which is removed again whatever
// the outcome; in a build with manifest keys, a verified attempt's manifest
// is fetched once more for its expiry. False only when the check
// itself could not run or clean up; `why` says so.
[[nodiscard]] bool CheckLiveRelease(LiveOutcome& outcome, ErrorText& why);

// The sequence of the manifest served now, as a key of this build verifies
// it (origin, signature), whatever its expiry and this build's floor: users
// may have taken it before either. `keyNumber` is that key's place (1, 2) in
// TAVRO_MANIFEST_KEY. False when it cannot be fetched, or no key of this
// build signed it; `why` then says which ("could not be fetched: ...", "is
// not ...").
[[nodiscard]] bool ReadLiveSequence(unsigned long long& sequence, size_t& keyNumber, std::wstring& why);

// A build with manifest keys: what every host serves now, one line each in
// `lines`: each mirror host's manifest against the official host's (the
// same bytes, and else what this build's check says of its own), then the
// setup at each place the verified manifest names (installerUrl and its
// mirrors), against the signed size and SHA-256. False when any host or
// place differs or cannot be reached; a build without mirror hosts whose
// manifest names one place gets no line and true.
[[nodiscard]] bool CheckEveryPlace(std::vector<std::wstring>& lines);
