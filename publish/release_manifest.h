#pragma once

#include <string>

#include "release/error_text.h"
#include "release/install_attempt.h"

// Writing and checking the release manifest the installer reads, with the
// installer's own rules (CheckReleaseManifest, the URL policy of this build's
// official host, the manifest size cap) plus what a published file must be:
// strict UTF-8 without a BOM.

// Why a manifest was not written or accepted: its content was refused, or a
// file could not be read or written (the content may be fine).
enum class ManifestFault { Refused, FileAccess };

// "version=...\ninstallerUrl=...\ninstallerSha256=...\n"
std::wstring ComposeManifest(const ReleaseFields& release);

// The manifest bytes as the installer would take them, then the setup file's
// SHA-256 against the one they name. On failure `why` is one sentence naming
// the field at fault, followed by the installer's own sentence when the
// installer would fail too.
[[nodiscard]] bool CheckManifestBytes(const ByteBuffer& bytes, const std::wstring& setupSha256,
                                      ReleaseFields& release, ErrorText& why);

// Reads both files and applies CheckManifestBytes; built with
// TAVRO_PUBLISHER, the setup file must also pass that build's signature check
// (CheckPublisherSignature), or `why` quotes the sentence users would see. On
// failure `fault` says which kind it was.
[[nodiscard]] bool CheckManifestFile(const std::wstring& manifestPath, const std::wstring& setupPath,
                                     ReleaseFields& release, ErrorText& why, ManifestFault& fault);

// Writes the manifest for the setup file at `setupPath`, published at
// `installerUrl` (without its fragment, if it has one), to `outPath`; only a manifest that passes
// CheckManifestFile and reads back the values given is left there. A file
// already at `outPath` is removed first, so a refusal never leaves an older
// manifest behind.
[[nodiscard]] bool WriteManifestFile(const std::wstring& setupPath, const std::wstring& version,
                                     const std::wstring& installerUrl, const std::wstring& outPath,
                                     ReleaseFields& release, ErrorText& why, ManifestFault& fault);
