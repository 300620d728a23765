#pragma once

#include <string>
#include <vector>

#include "release/error_text.h"
#include "release/install_attempt.h"
#include "release/trust/manifest_signature.h"

// Writing and checking the release manifest the installer reads, with the
// installer's own rules (CheckReleaseManifest, the URL policy of this build's
// official host, the manifest size cap) plus what a published file must be:
// strict UTF-8 without a BOM.

// Why a manifest was not written or accepted: its content was refused, or a
// file could not be read or written (the content may be fine).
enum class ManifestFault { Refused, FileAccess };

// "version=...\ninstallerUrl=...\ninstallerSha256=...\n", after
// "origin=" + ManifestUrl() + "\n" where manifests are signed: the fields
// of kManifestFields (manifest_fields.h) whose values the publisher gives;
// the signer adds the other signed ones.
std::wstring ComposeManifest(const ReleaseFields& release);

// "installerMirror1=...\n" and on, one line for each place of the same
// setup, in order (at most the fields of kInstallerMirrorFields).
std::wstring MirrorLines(const std::vector<std::wstring>& installerMirrors);

// The manifest bytes as the installer would take them, then the setup file's
// SHA-256 against the one they name (not compared when `setupSha256` is
// empty). On failure `why` is one sentence naming the field at fault,
// followed by the installer's own sentence when the installer would fail too.
[[nodiscard]] bool CheckManifestBytes(const ByteBuffer& bytes, const std::wstring& setupSha256,
                                      ReleaseFields& release, ErrorText& why);

// Whether this build's installers take only a signed manifest
// (TAVRO_MANIFEST_KEY).
bool ManifestsAreSigned();

// Reads both files and applies CheckManifestBytes; built with
// TAVRO_PUBLISHER, the setup file must also pass that build's signature check
// (CheckPublisherSignature), or `why` quotes the sentence users would see.
// Built with TAVRO_MANIFEST_KEY, the manifest must pass VerifyManifest as
// this build's installers apply it now (its keys, TAVRO_MANIFEST_MAX_DAYS,
// TAVRO_MANIFEST_FLOOR), and its installersize must be the setup file's
// size; `signedFields` then holds what it says of itself. An empty
// `setupPath` checks the manifest alone: no hash, size or signature of a
// setup. On failure `fault` says which kind it was.
[[nodiscard]] bool CheckManifestFile(const std::wstring& manifestPath, const std::wstring& setupPath,
                                     ReleaseFields& release, SignedFields& signedFields, ErrorText& why,
                                     ManifestFault& fault);

// Writes the manifest for the setup file at `setupPath`, published at
// `installerUrl` (without its fragment, if it has one), to `outPath`; only a manifest that passes
// CheckManifestFile and reads back the values given is left there. A file
// already at `outPath` is removed first, so a refusal never leaves an older
// manifest behind.
// `installerMirrors` are written as the mirror lines (MirrorLines), which
// only a build with manifest keys takes.
[[nodiscard]] bool WriteManifestFile(const std::wstring& setupPath, const std::wstring& version,
                                     const std::wstring& installerUrl, const std::vector<std::wstring>& installerMirrors,
                                     const std::wstring& outPath, ReleaseFields& release, ErrorText& why,
                                     ManifestFault& fault);
