#include "publish/live_release.h"

#include <windows.h>

#include "platform/scoped_handle.h"
#include "release/failure_detail.h"
#include "release/install_attempt.h"
#include "release/release_hosts.h"
#include "release/transfer/https_transfer.h"
#include "release/trust/manifest_signature.h"
#include "release/trust/signed_manifest_check.h"
#include "release/trust/package_verification.h"
#include "storage/fresh_name.h"

namespace {

bool MakePrivateDirectory(std::wstring& path)
{
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) {
        return false;
    }
    const std::wstring prefix = std::wstring(temp) + L"tavro-live-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    const auto create = [](const std::wstring& candidate) {
        return CreateDirectoryW(candidate.c_str(), nullptr) != FALSE;
    };
    return CreateUnderFreshName(prefix, L"", create, path);
}

// False when anything stays.
bool RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            const std::wstring child = path + L"\\" + name;
            if (name == L"." || name == L"..") {
                continue;
            }
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveTree(child);
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryW(path.c_str()) != FALSE;
}

// The file the attempt verified, as a user would run it.
bool DescribeVerified(const std::wstring& path, LiveOutcome& outcome)
{
    const ScopedFile file(NullIfInvalid(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    LARGE_INTEGER size = {};
    ErrorText ignored;
    if (!file.IsValid() || !GetFileSizeEx(file.Get(), &size) ||
        !ComputeHandleSha256(file.Get(), outcome.Sha256, ignored)) {
        return false;
    }
    outcome.Size = static_cast<unsigned long long>(size.QuadPart);
    outcome.InstallerName = path.substr(path.find_last_of(L'\\') + 1);
    return true;
}

// The attempt does not say what the manifest it verified holds: the same
// check once more on the manifest served now.
bool ReadSignedFields(LiveOutcome& outcome, ErrorText& why)
{
    ByteBuffer bytes;
    ErrorText error;
    SignedFields fields;
    std::wstring fault;
    const ManifestRules rules = ManifestRulesNow(kManifestFloor);
    // From the first host that serves a verified one, as the attempt took it.
    std::vector<std::wstring> hosts = MirrorHosts();
    hosts.insert(hosts.begin(), kOfficialHost);
    bool verified = false;
    for (size_t at = 0; at < hosts.size() && !verified; ++at) {
        bytes.clear();
        fault.clear();
        verified = DownloadUrl(ManifestUrlOn(hosts[at]), bytes, DownloadReport(), error) &&
                   VerifyManifest(bytes, ManifestKeys(), rules, fields, fault) == ManifestVerdict::Verified;
    }
    if (!verified) {
        why = L"The manifest the attempt verified could not be fetched and verified again for its expiry: " +
              (fault.empty() ? error : fault) + L".";
        return false;
    }
    outcome.Signed = true;
    outcome.ExpiresSeconds = fields.ExpiresSeconds;
    outcome.Sequence = fields.Sequence;
    return true;
}

}  // namespace

bool CheckLiveRelease(LiveOutcome& outcome, ErrorText& why)
{
    std::wstring directory;
    if (!MakePrivateDirectory(directory)) {
        why = L"No directory of its own could be made under the temporary directory.";
        return false;
    }
    // The attempt keeps its log and download in that directory.
    outcome = LiveOutcome();
    std::wstring verifiedPath;
    AttemptReport report;
    report.Verified = [&verifiedPath](const std::wstring& path) { verifiedPath = path; };
    report.Failed = [&outcome](const std::wstring& sentence, const FailureDetail& detail) {
        outcome.UserSees = sentence;
        outcome.Detail = detail;
    };
    outcome.Verified = RunAttempt(directory, report) == 0;
    const bool described = !outcome.Verified || DescribeVerified(verifiedPath, outcome);
    if (!RemoveTree(directory)) {
        why = L"The temporary directory " + directory + L" could not be removed.";
        return false;
    }
    if (!described) {
        why = L"The verified installer " + verifiedPath + L" could not be read back.";
        return false;
    }
    return !outcome.Verified || ManifestKeys().empty() || ReadSignedFields(outcome, why);
}

bool ReadLiveSequence(unsigned long long& sequence, size_t& keyNumber, std::wstring& why)
{
    ByteBuffer bytes;
    ErrorText error;
    FailureDetail detail;
    if (!DownloadUrl(ManifestUrl(), bytes, DownloadReport(), error, &detail)) {
        why = L"could not be fetched: " + (detail.empty() ? error : detail);
        return false;
    }
    // No clock and no floor: the earliest time, the longest way ahead.
    ManifestRules rules = ManifestRulesNow(0);
    rules.NowSeconds = 0;
    rules.MaxDaysAhead = 4000000;
    SignedFields fields;
    std::wstring fault;
    const std::vector<std::wstring> keys = ManifestKeys();
    if (VerifyManifest(bytes, keys, rules, fields, fault) != ManifestVerdict::Verified) {
        why = L"is not one a key of this build signed (" + fault + L")";
        return false;
    }
    sequence = fields.Sequence;
    keyNumber = 0;
    for (size_t at = 0; at < keys.size(); ++at) {
        if (KeyFingerprint(keys[at]) == fields.KeyFingerprint) {
            keyNumber = at + 1;
        }
    }
    return true;
}

namespace {

// What this build's check says of one host's manifest bytes.
std::wstring VerdictOf(const ByteBuffer& bytes, SignedFields& fields, bool& verified)
{
    std::wstring fault;
    verified = false;
    switch (VerifyManifest(bytes, ManifestKeys(), ManifestRulesNow(kManifestFloor), fields, fault)) {
    case ManifestVerdict::Verified:
        verified = true;
        return L"verified, sequence " + std::to_wstring(fields.Sequence);
    case ManifestVerdict::Expired:
        return L"expired: " + fault;
    case ManifestVerdict::Refused:
        break;
    }
    return L"refused: " + fault;
}

// The setup at one place, fetched whole as an attempt fetches it (held to
// the signed size) into a file of its own, which goes again.
std::wstring CheckPlace(const std::wstring& url, const SignedFields& fields, const std::wstring& sha256, bool& same)
{
    same = false;
    std::wstring directory;
    if (!MakePrivateDirectory(directory)) {
        return L"no directory of its own could be made under the temporary directory";
    }
    std::wstring said;
    {
        const std::wstring path = directory + L"\\setup";
        const ScopedFile file(NullIfInvalid(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)));
        RunningSha256 hash;
        ErrorText error;
        FailureDetail detail;
        FileDownload how;
        how.RequiredLength = fields.InstallerSize;
        how.Hash = &hash;
        std::wstring computed;
        if (!file.IsValid()) {
            said = L"differs: no file could be made for it";
        } else if (!hash.Begin(error, detail) ||
                   !DownloadUrlToFile(url, file.Get(), DownloadReport(), error, &detail, how) ||
                   !hash.Finish(computed, error, detail)) {
            said = L"differs: " + (detail.empty() ? error : detail);
        } else if (!Sha256TextsMatch(sha256, computed)) {
            said = L"differs: SHA-256 " + computed + L" where the manifest names " + TextForLog(sha256) + L".";
        } else {
            same = true;
            said = L"the signed setup, " + std::to_wstring(fields.InstallerSize) + L" bytes, SHA-256 as signed.";
        }
    }
    RemoveTree(directory);
    return said;
}

}  // namespace

bool CheckEveryPlace(std::vector<std::wstring>& lines)
{
    std::vector<std::wstring> hosts = MirrorHosts();
    hosts.insert(hosts.begin(), kOfficialHost);
    bool allSame = true;
    ByteBuffer official;
    SignedFields reference;
    bool haveReference = false;
    for (size_t at = 0; at < hosts.size(); ++at) {
        const std::wstring url = ManifestUrlOn(hosts[at]);
        ByteBuffer bytes;
        ErrorText error;
        FailureDetail detail;
        SignedFields fields;
        bool verified = false;
        std::wstring line = hosts[at] + L": ";
        if (!DownloadUrl(url, bytes, DownloadReport(), error, &detail)) {
            line += L"differs: " + (detail.empty() ? error : detail);
            allSame = false;
        } else if (at == 0) {
            line += L"the manifest, " + VerdictOf(bytes, fields, verified) + L".";
            official = bytes;
            allSame = allSame && verified;
        } else if (bytes == official) {
            VerdictOf(bytes, fields, verified);
            line += L"the same manifest as " + hosts[0] + L".";
        } else {
            line += L"differs: another manifest than " + hosts[0] + L"'s (" + std::to_wstring(bytes.size()) +
                    L" bytes), " + VerdictOf(bytes, fields, verified) + L".";
            allSame = false;
        }
        if (verified && !haveReference) {
            reference = fields;
            haveReference = true;
        }
        lines.push_back(line);
    }
    if (!haveReference) {
        return false;
    }
    ReleaseFields release;
    ErrorText error;
    std::vector<std::wstring> places;
    const wchar_t* faultyKey = nullptr;
    if (!CheckReleaseManifest(reference.Entries, release, error) ||
        !InstallerUrls(reference.Entries, release.InstallerUrl, places, faultyKey, error)) {
        lines.push_back(L"The verified manifest is refused: " + error);
        return false;
    }
    if (hosts.size() == 1 && places.size() == 1) {
        lines.clear();
        return allSame;
    }
    for (const std::wstring& place : places) {
        bool same = false;
        lines.push_back(UrlForLog(place) + L": " + CheckPlace(place, reference, release.InstallerSha256, same));
        allSame = allSame && same;
    }
    return allSame;
}
