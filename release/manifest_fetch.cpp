#include "release/manifest_fetch.h"

#include <algorithm>

#include "release/build_settings.h"
#include "release/manifest_fields.h"
#include "release/manifest_log.h"
#include "release/release_hosts.h"
#include "release/release_messages.h"
#include "release/transfer/https_transfer.h"
#include "release/trust/log_rules.h"
#include "release/trust/manifest_signature.h"
#include "release/trust/signed_manifest_check.h"
#include "release/url_policy.h"
#include "storage/installer_log.h"

namespace {

bool Refuse(ReleaseFields& fields, const wchar_t* key, const wchar_t* sentence, ErrorText& error)
{
    fields.FaultyKey = key;
    error = sentence;
    return false;
}

// What the manifest lacked or held, for the log.
FailureDetail ManifestFault(const ByteBuffer& bytes, const ReleaseManifest& manifest, const ReleaseFields& fields)
{
    const std::wstring where = UrlForLog(ManifestUrl());
    if (!bytes.empty() && manifest.empty()) {
        return DescribeFailure(L"no entry (" + std::to_wstring(bytes.size()) + L" bytes, UTF-8 or not)", L"in",
                               where);
    }
    const std::wstring key = fields.FaultyKey != nullptr ? fields.FaultyKey : L"?";
    const std::wstring* given = FieldValue(manifest, key.c_str());
    if (given == nullptr) {
        return DescribeFailure(L"no key " + key, L"in", where);
    }
    // A URL's value may hold a user name, a password or a query token.
    const ManifestField* field = FindField(key);
    const std::wstring value = field != nullptr && field->Rule == FieldRule::Url
                                   ? UrlForLog(*given, kLongestTextForLog)
                                   : TextForLog(*given);
    return DescribeFailure(L"key " + key + L" \"" + value + L"\" (" + std::to_wstring(given->size()) +
                               L" characters)",
                           L"in", where);
}

}  // namespace

#ifdef TAVRO_MANIFEST_KEYS
// (Only a build with manifest keys imports the CNG functions that verify
// them.)
namespace {

// One host's manifest, its bytes as received checked before anything reads
// them; false with the sentence and what failed.
bool TakeVerifiedManifest(const std::wstring& url, const std::wstring& directory, TransferSessions& sessions,
                          ByteBuffer& bytes, SignedFields& signedFields, ErrorText& error, FailureDetail& detail)
{
    if (!DownloadUrl(url, bytes, DownloadReport(), error, &detail, &sessions)) {
        return false;
    }
    // In the log its witnesses have seen, before its signature is checked:
    // a manifest signed for a few users alone, with a stolen key, is refused
    // and raises no one's sequence record. The proof comes from the host
    // that served the manifest.
    if (BuildRequiresLogProof() && !CheckManifestLoggedNow(url, bytes, sessions, error, detail)) {
        return false;
    }
    std::wstring fault;
    switch (CheckSignedManifest(bytes, directory, ManifestKeys(), ManifestRulesNow(kManifestFloor), signedFields,
                                fault)) {
    case ManifestVerdict::Refused:
        error = kMsgManifestUnverified;
        detail = DescribeFailure(fault, L"in", UrlForLog(url));
        return false;
    case ManifestVerdict::Expired:
        error = kMsgManifestExpired;
        detail = DescribeFailure(fault, L"in", UrlForLog(url));
        return false;
    case ManifestVerdict::Verified:
        break;
    }
    return true;
}

}  // namespace

bool FetchSignedRelease(const std::wstring& directory, TransferSessions& sessions, ReleaseFields& release,
                        unsigned long long& installerSize, std::vector<std::wstring>& installerUrls,
                        ErrorText& error, FailureDetail& detail)
{
    std::vector<std::wstring> hosts = MirrorHosts();
    const bool mirrored = !hosts.empty();
    hosts.insert(hosts.begin(), kOfficialHost);
    ByteBuffer manifestBytes;
    SignedFields signedFields;
    ErrorText officialError;
    FailureDetail tried;
    // Hosts that gave no answer at all (no name, no connection, no headers
    // in time): their places of the setup are tried last, so that a silent
    // host holds the attempt back once, not for the setup again.
    std::vector<std::wstring> unanswered;
    for (size_t at = 0;; ++at) {
        const std::wstring url = ManifestUrlOn(hosts[at]);
        ErrorText hostError;
        FailureDetail hostDetail;
        manifestBytes.clear();
        if (TakeVerifiedManifest(url, directory, sessions, manifestBytes, signedFields, hostError, hostDetail)) {
            if (mirrored) {
                AppendLogLine(directory, ManifestHostLine(url));
            }
            break;
        }
        // The user hears what the official host did: the mirrors stand in
        // for it, and a maintainer reads the rest in the detail.
        if (at == 0) {
            officialError = hostError;
        }
        if (hostError == kMsgDownloadFailed) {
            unanswered.push_back(hosts[at]);
        }
        tried = JoinDetails(tried, hostDetail);
        if (at + 1 == hosts.size()) {
            error = officialError;
            detail = tried;
            return false;
        }
        AppendLogLine(directory, ManifestHostFailedLine(url, hostDetail));
    }
    // A signed manifest holds the download to the installer size it names.
    installerSize = signedFields.InstallerSize;
    // Only what the signature covers is read from here on.
    const ReleaseManifest& manifest = signedFields.Entries;
    if (!CheckReleaseManifest(manifest, release, error)) {
        detail = ManifestFault(manifestBytes, manifest, release);
        return false;
    }
    if (!InstallerUrls(manifest, release.InstallerUrl, installerUrls, release.FaultyKey, error)) {
        // A URL's value may hold a user name, a password or a query token.
        const std::wstring& given = *FieldValue(manifest, release.FaultyKey);
        detail = DescribeFailure(std::wstring(L"key ") + release.FaultyKey + L" \"" +
                                     UrlForLog(given, kLongestTextForLog) + L"\" (" + std::to_wstring(given.size()) +
                                     L" characters)",
                                 L"in", UrlForLog(ManifestUrl()));
        return false;
    }
    std::stable_partition(installerUrls.begin(), installerUrls.end(), [&unanswered](const std::wstring& url) {
        return std::find(unanswered.begin(), unanswered.end(), HostForLog(url)) == unanswered.end();
    });
    return true;
}

bool FetchRelease(const std::wstring& directory, TransferSessions& sessions, ReleaseFields& release,
                  unsigned long long& installerSize, ErrorText& error, FailureDetail& detail)
{
    std::vector<std::wstring> installerUrls;
    return FetchSignedRelease(directory, sessions, release, installerSize, installerUrls, error, detail);
}
#else
bool FetchRelease(const std::wstring& directory, TransferSessions& sessions, ReleaseFields& release,
                  unsigned long long& installerSize, ErrorText& error, FailureDetail& detail)
{
    ByteBuffer manifestBytes;
    if (!DownloadUrl(ManifestUrl(), manifestBytes, DownloadReport(), error, &detail, &sessions)) {
        return false;
    }
    // A signed manifest holds the download to the installer size it names.
    installerSize = kAnyLength;
    static_cast<void>(directory);
    const ReleaseManifest manifest = ParseReleaseManifest(Utf8ToWide(manifestBytes));
    if (!CheckReleaseManifest(manifest, release, error)) {
        detail = ManifestFault(manifestBytes, manifest, release);
        return false;
    }
    return true;
}
#endif

bool CheckReleaseManifest(const ReleaseManifest& manifest, ReleaseFields& fields, ErrorText& error)
{
    // Every field a manifest always has, there and well formed, in the
    // table's order.
    for (const ManifestField& field : kManifestFields) {
        const std::wstring* value = FieldValue(manifest, field.Name);
        if (!field.SignedOnly && (value == nullptr || !IsWellFormed(*value, field.Rule))) {
            return Refuse(fields, field.Name, kMsgManifestIncomplete, error);
        }
    }
    // Then what the values say: the URL policy before the file-name rule.
    for (const FieldRule rule : {FieldRule::Url, FieldRule::FileName}) {
        for (const ManifestField& field : kManifestFields) {
            if (field.SignedOnly || field.Rule != rule) {
                continue;
            }
            const std::wstring& value = *FieldValue(manifest, field.Name);
            ReleaseEndpoint endpoint;
            if (rule == FieldRule::Url && !ParseReleaseUrl(value, endpoint, error)) {
                fields.FaultyKey = field.Name;
                return false;
            }
            // The version becomes part of a file name: a separator, drive or
            // stream colon, wildcard or control character could reach
            // outside the directory.
            if (rule == FieldRule::FileName && !IsSafeVersionText(value)) {
                return Refuse(fields, field.Name, kMsgManifestBadVersion, error);
            }
        }
    }
    fields.Version = *FieldValue(manifest, kVersionField);
    fields.InstallerUrl = *FieldValue(manifest, kInstallerUrlField);
    fields.InstallerSha256 = *FieldValue(manifest, kInstallerSha256Field);
    return true;
}

bool IsSafeVersionText(const std::wstring& version)
{
    if (InstallerFileName(version).size() > kMaxFileNameLength) {
        return false;
    }
    for (wchar_t c : version) {
        if (IsControlCharacter(c) || std::wstring(L"\\/:*?\"<>|").find(c) != std::wstring::npos) {
            return false;
        }
    }
    return true;
}

std::wstring InstallerFileName(const std::wstring& version)
{
    return L"TAVRO-Static-Module-Setup-" + version + L".exe";
}

