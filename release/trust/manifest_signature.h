#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "release/build_settings.h"
#include "release/error_text.h"
#include "release/manifest.h"
#include "release/manifest_fields.h"

// The second lock: a build with TAVRO_MANIFEST_KEY runs only what a signed,
// current release manifest names, so that whoever controls the release host
// (its files or its TLS key) can make an attempt fail, but cannot choose
// what runs, roll users back to an older signed release, or hold them on
// one manifest for ever.
//
// A signed manifest is the manifest's own key=value lines, so installers
// without a key read it unchanged; its fields are the rows of
// kManifestFields (manifest_fields.h), signed-only ones included. Its first line is "origin=" + the URL it
// is published at, so that a manifest signed for another place (a
// rehearsal, a beta, another path) is not taken from this one; among its
// lines are "expires=" (UTC, RFC 3339 with Z), "sequence=" (a positive
// decimal number the publisher raises with every manifest it signs) and
// "installersize=" (the installer's length in bytes), no key twice; and it
// ends with one line "signature=" + base64 of an ECDSA P-256 signature over
// SHA-256 (r||s, 64 bytes) of the exact bytes before that line. Only
// whitespace and line ends may follow it. Nothing outside the signed bytes
// is read.

// The compiled-in keys (kManifestKeysText): each the base64 of a P-256
// SubjectPublicKeyInfo; none in a build without the setting.
std::vector<std::wstring> ManifestKeys();

// A key's fingerprint: SHA-256 (lower-case hex) of its SubjectPublicKeyInfo
// (the base64 of ManifestKeys); empty for a text that is not base64.
std::wstring KeyFingerprint(const std::wstring& keyBase64);

// The computer's clock: seconds since 1970, UTC.
long long NowUtcSeconds();

// A signed manifest's bytes cut into what is signed and the signature:
// false (`fault` says why) when the last entry line is not "signature=" +
// base64 of exactly 64 bytes.
bool SplitSignedManifest(const ByteBuffer& bytes, size_t& signedLength, std::vector<unsigned char>& signature,
                         std::wstring& fault);

// Strict base64 (RFC 4648, with padding, no line breaks); false for
// anything else.
bool DecodeBase64(const std::wstring& text, std::vector<unsigned char>& bytes);

// The public point (X then Y, 64 bytes) of a P-256 SubjectPublicKeyInfo in
// DER (the 91 bytes of "-----BEGIN PUBLIC KEY-----"); false for any other
// key.
bool P256PointOfSpki(const std::vector<unsigned char>& spki, std::vector<unsigned char>& point);

// The ECDSA P-256 signature (r||s) of `data` under the key with the public
// `point`, checked with CNG.
bool VerifyP256Signature(const std::vector<unsigned char>& point, const unsigned char* data, size_t size,
                         const std::vector<unsigned char>& signature);

// What a build requires of a manifest's signed fields.
struct ManifestRules {
    long long NowSeconds;                // UTC, since 1970
    long long MaxDaysAhead;              // an "expires" further ahead is refused
    unsigned long long MinSequence;      // the floor: a lower "sequence" is refused
    unsigned long long MaxInstallerSize;  // a larger "installersize" is refused: the build's ceiling
    std::wstring Origin;                 // the URL the first line must name, exactly
};

// What a verified manifest says of itself, and all of it that may be used.
struct SignedFields {
    long long ExpiresSeconds = 0;
    unsigned long long Sequence = 0;
    unsigned long long InstallerSize = 0;
    std::wstring KeyFingerprint;  // of the key that verified it
    ReleaseManifest Entries;      // the signed bytes' entries
};

// How a manifest fared.
enum class ManifestVerdict {
    Verified,
    Refused,  // not signed by a compiled-in key, or its fields are not as required
    Expired,  // signed and otherwise fine, but "expires" has passed: the computer's clock may be wrong
};

// The whole check of a manifest's bytes, as received, against `keys` and
// `rules`: the signature line, the signature under one of the keys, then,
// in the signed bytes alone, the origin line, no key given twice (in any
// letter case), and each signed-only field of kManifestFields by its rule
// ("expires" not too far ahead, "sequence" not below the floor,
// "installersize" from 1 to the ceiling), an expiry that has passed last.
// On anything but Verified, `fault` names the check that failed and
// `fields` is left as it was.
ManifestVerdict VerifyManifest(const ByteBuffer& bytes, const std::vector<std::wstring>& keys,
                               const ManifestRules& rules, SignedFields& fields, std::wstring& fault);
