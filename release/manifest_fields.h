#pragma once

#include <string>

#include "release/manifest.h"

// The release manifest's fields, in the order a manifest gives them, each
// with its rule and whether only a signed manifest has it. Every field of
// kManifestFields is required: the others in every manifest, the
// signed-only ones in a signed manifest (a build with manifest keys), which
// holds the others too. The setup's mirrors (kInstallerMirrorFields) are
// the fields a signed manifest may leave out. The
// attempt (CheckReleaseManifest), the signed check (VerifyManifest) and the
// manifest tool read this table: a new field is one row.

// What a field's value must be.
enum class FieldRule {
    Origin,     // the first line: the URL the manifest is published at, exactly
    FileName,   // not empty, and safe in a file name (IsSafeVersionText)
    Url,        // not empty, and passes the release URL policy
    Sha256,     // 64 characters, the installer's SHA-256 in hex
    Text,       // not empty
    UtcTime,    // RFC 3339 in UTC (ParseUtcTime), not too far ahead, not passed
    Sequence,   // a positive decimal number, not below the floor
    Size,       // a decimal number of bytes, from 1 to the installer ceiling
    Signature,  // the last line: base64 of the signature of the bytes before it
};

struct ManifestField {
    const wchar_t* Name;  // as a manifest writes it; read with A to Z folded
    bool SignedOnly;      // only a signed manifest has it
    FieldRule Rule;
};

constexpr wchar_t kOriginField[] = L"origin";
constexpr wchar_t kVersionField[] = L"version";
constexpr wchar_t kInstallerUrlField[] = L"installerUrl";
constexpr wchar_t kInstallerSha256Field[] = L"installerSha256";
constexpr wchar_t kExpiresField[] = L"expires";
constexpr wchar_t kSequenceField[] = L"sequence";
constexpr wchar_t kInstallerSizeField[] = L"installersize";
constexpr wchar_t kSignatureField[] = L"signature";
constexpr wchar_t kInstallerMirror1Field[] = L"installerMirror1";
constexpr wchar_t kInstallerMirror2Field[] = L"installerMirror2";
constexpr wchar_t kInstallerMirror3Field[] = L"installerMirror3";

// One table at one address, whichever file reads it.
inline constexpr ManifestField kManifestFields[] = {
    {kOriginField, true, FieldRule::Origin},
    {kVersionField, false, FieldRule::FileName},
    {kInstallerUrlField, false, FieldRule::Url},
    {kInstallerSha256Field, false, FieldRule::Sha256},
    {kExpiresField, true, FieldRule::UtcTime},
    {kSequenceField, true, FieldRule::Sequence},
    {kInstallerSizeField, true, FieldRule::Size},
    {kSignatureField, true, FieldRule::Signature},
};

// The fields a signed manifest may give or leave out: more places of the
// same installer (the same installersize and SHA-256), tried in order after
// installerUrl when the one before fails (release_hosts.h). Rows of a table
// of their own: an installer built without manifest keys never reads them,
// and stays as it was.
inline constexpr ManifestField kInstallerMirrorFields[] = {
    {kInstallerMirror1Field, true, FieldRule::Url},
    {kInstallerMirror2Field, true, FieldRule::Url},
    {kInstallerMirror3Field, true, FieldRule::Url},
};

// The rule in one word, as the manifest tool lists it: "origin", "filename",
// "url", "sha256", "text", "utctime", "sequence", "size", "signature".
const wchar_t* RuleWord(FieldRule rule);

// The row of the field named `name` (A to Z folded), or null.
const ManifestField* FindField(const std::wstring& name);

// The value a parsed manifest gives the field named `name`, or null when it
// gives none.
const std::wstring* FieldValue(const ReleaseManifest& manifest, const wchar_t* name);

// A value is of the form its rule asks for before anything reads it: 64
// characters for Sha256, a UTC time for UtcTime, a positive number for
// Sequence, a number for Size (0 included, which the rule then refuses),
// not empty for any other.
bool IsWellFormed(const std::wstring& value, FieldRule rule);

// What a value not well formed is not, for a fault: "not a UTC time",
// "not a positive number", "not a number", else "empty" or "not 64
// characters".
const wchar_t* MalformedCause(FieldRule rule);

// "2027-03-01T00:00:00Z" as seconds since 1970 (UTC); false for any other
// form (RFC 3339 with "Z" only, no fractions, a real date and time).
bool ParseUtcTime(const std::wstring& text, long long& seconds);

// A decimal number of at most 19 digits, nothing else.
bool ParseDecimal(const std::wstring& text, unsigned long long& value);
