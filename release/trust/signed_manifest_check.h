#pragma once

#include <string>
#include <vector>

#include "release/error_text.h"
#include "release/trust/manifest_signature.h"

// The signed manifest as an attempt checks it: this build's rules, and the
// user's record of the highest sequence accepted.

// What this build's installers require of a signed manifest now: its
// clock, TAVRO_MANIFEST_MAX_DAYS, `minSequence` as the floor, the installer
// ceiling, and ManifestUrl() as the origin.
ManifestRules ManifestRulesNow(unsigned long long minSequence);

// The signed manifest's check in an attempt in `directory`: its record of
// the highest sequence accepted is locked from reading to writing; a record
// of a key among `keys` raises the floor of `rules` (one of a key the build
// no longer carries is set aside, so that rotating a key out undoes what it
// signed); VerifyManifest judges the bytes; the sequence of a verified
// manifest is kept, with its key, when higher than the record's or when the
// record was set aside. A record that cannot be read or kept gets a log line
// and the floor of `rules` holds.
ManifestVerdict CheckSignedManifest(const ByteBuffer& bytes, const std::wstring& directory,
                                    const std::vector<std::wstring>& keys, const ManifestRules& rules,
                                    SignedFields& fields, std::wstring& fault);
