#pragma once

#include <string>
#include <vector>

#include "release/error_text.h"
#include "release/failure_detail.h"
#include "release/manifest.h"

// A build with manifest keys may take the signed manifest and the installer
// from more than one host: the signature decides what runs, not the host
// that served it (release/trust/manifest_signature.h). Its hosts are the
// official host, then the mirror hosts (TAVRO_MIRROR_HOSTS), in that order.

// The mirror hosts (kMirrorHostsText), in order; none in a build without
// them.
std::vector<std::wstring> MirrorHosts();

// True when the host, with A to Z folded, is exactly one of MirrorHosts().
bool IsMirrorHost(const std::wstring& host);

// "https://" + host + "/updates/tavro-update.txt": where each host
// publishes the manifest.
std::wstring ManifestUrlOn(const std::wstring& host);

// The host a URL names, A to Z folded, as a log line shows it (TextForLog);
// "?" for a URL that cannot be cracked.
std::wstring HostForLog(const std::wstring& url);

// The installer's places, in the order an attempt tries them: installerUrl
// (in `first`), then each of installerMirror1..3 that the verified manifest
// gives. Each must be well formed and pass the release URL policy; on
// failure assigns the sentence (that of an incomplete manifest, or the
// policy's) and sets `faultyKey` to the field's name.
[[nodiscard]] bool InstallerUrls(const ReleaseManifest& manifest, const std::wstring& first,
                                 std::vector<std::wstring>& urls, const wchar_t*& faultyKey, ErrorText& error);

// What several hosts did, in one detail: `so far` (empty, or details joined
// before), then `next`, each without its full stop, joined by "; ", one
// full stop at the end.
FailureDetail JoinDetails(const FailureDetail& soFar, const FailureDetail& next);

// After a host that gave no verified manifest, when another is asked next:
// "No verified release manifest from " + host + ": " + what failed.
std::wstring ManifestHostFailedLine(const std::wstring& url, const FailureDetail& detail);
// "Release manifest taken from " + host + ".", in a build with mirror hosts.
std::wstring ManifestHostLine(const std::wstring& url);
// After an installer URL that failed, when the next is tried:
// "Installer not taken from " + host + ": " + what failed.
std::wstring InstallerHostFailedLine(const std::wstring& url, const FailureDetail& detail);
// "Installer downloaded from " + host + ".", in a build with mirror hosts,
// once the download is complete and before it is verified.
std::wstring InstallerHostLine(const std::wstring& url);
