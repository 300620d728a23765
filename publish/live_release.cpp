#include "publish/live_release.h"

#include <windows.h>

#include "platform/scoped_handle.h"
#include "release/failure_detail.h"
#include "release/install_attempt.h"
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
    if (!DownloadUrl(ManifestUrl(), bytes, DownloadReport(), error) ||
        VerifyManifest(bytes, ManifestKeys(), rules, fields, fault) != ManifestVerdict::Verified) {
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
