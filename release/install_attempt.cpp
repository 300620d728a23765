#include "release/install_attempt.h"

#include <algorithm>

#include "release/build_settings.h"
#include "release/failure_detail.h"
#include "release/transfer/https_transfer.h"
#include "release/manifest.h"
#include "release/manifest_fields.h"
#include "release/trust/package_verification.h"
#include "release/transfer/proxy_settings.h"
#include "release/trust/manifest_signature.h"
#include "release/trust/signed_manifest_check.h"
#include "release/trust/publisher_signature.h"
#include "release/release_messages.h"
#include "release/transfer/transfer_limits.h"
#include "release/url_policy.h"
#include "storage/installer_log.h"
#include "platform/scoped_handle.h"
#include "platform/system_libraries.h"
#include "storage/working_directory.h"

namespace {

// Where one attempt keeps its log and files, and whom it tells.
struct AttemptPlace {
    const std::wstring& Directory;
    const AttemptReport& Report;
};

void Log(const AttemptPlace& place, const std::wstring& line)
{
    AppendLogLine(place.Directory, line);
}

void ReportProgress(const AttemptPlace& place, unsigned percent)
{
    if (place.Report.Progress) {
        place.Report.Progress(percent);
    }
}

DWORD FailAttempt(const AttemptPlace& place, const std::wstring& message, const FailureDetail& detail)
{
    if (place.Report.Failed) {
        place.Report.Failed(message, detail);
    }
    return 1;
}

bool Refuse(ReleaseFields& fields, const wchar_t* key, const wchar_t* sentence, ErrorText& error)
{
    fields.FaultyKey = key;
    error = sentence;
    return false;
}

// The attempt's own download file. Its bytes reach the installer's name only
// once verified; otherwise it is deleted before the attempt reports its end,
// and also when an exception ends the attempt.
struct AttemptFile {
    ScopedFile Handle;
    std::wstring Path;
    bool Moved = false;

    AttemptFile() = default;
    AttemptFile(const AttemptFile&) = delete;
    AttemptFile& operator=(const AttemptFile&) = delete;
    ~AttemptFile() { Discard(); }

    void Discard()
    {
        Handle.Reset();
        if (!Moved && !Path.empty()) {
            DeleteFileW(Path.c_str());
        }
        Path.clear();
    }
};

// A failure once the installer download has begun: the attempt's own file
// goes before the failure is reported. The installer's name is left alone:
// it only ever receives verified bytes (an earlier or a concurrent
// attempt's), so a failure has nothing there to clean up. A file that failed
// verification is logged as such first.
DWORD FailDiscardingDownload(const AttemptPlace& place, AttemptFile& download, const std::wstring& message,
                             const FailureDetail& detail, const wchar_t* logLine = nullptr)
{
    download.Discard();
    if (logLine != nullptr) {
        Log(place, logLine);
    }
    return FailAttempt(place, message, detail);
}

// The file under the installer's name is the release the manifest names: a
// Setup that an earlier attempt verified and started may still be running
// from it, holding the name. It is read with writers kept out meanwhile.
bool HoldsTheSameRelease(const std::wstring& path, const std::wstring& expectedSha256)
{
    const ScopedFile file(NullIfInvalid(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    std::wstring sha256;
    ErrorText ignored;
    return file.IsValid() && ComputeHandleSha256(file.Get(), sha256, ignored) &&
           Sha256TextsMatch(expectedSha256, sha256);
}

enum class Placement { Moved, AlreadyThere, Refused };

// Virus scanners and indexers open a new file for a few seconds, and another
// attempt that has just moved its own verified copy holds the name for a
// moment: about 3 s in all, in growing pauses (the held-name limits of
// TransferLimits), before giving up. When the name already holds the same
// release, that one serves at once.
Placement PutInPlace(HANDLE file, const std::wstring& target, const std::wstring& expectedSha256, DWORD& error)
{
    const DWORD firstPauseMs = kTransferLimits.FirstHeldNamePauseMs;
    for (DWORD pauseMs = firstPauseMs;; pauseMs *= 2) {
        if (MoveOpenFileOver(file, target)) {
            return Placement::Moved;
        }
        error = GetLastError();
        if (pauseMs == firstPauseMs && HoldsTheSameRelease(target, expectedSha256)) {
            return Placement::AlreadyThere;
        }
        if (pauseMs > kTransferLimits.LastHeldNamePauseMs) {
            return Placement::Refused;
        }
        Sleep(pauseMs);
    }
}

// The shortest working directory a Windows profile gives: a version whose
// installer path would not fit even there is the manifest's fault; in a
// longer profile, the profile's.
constexpr size_t kShortestWorkingDirectoryLength = 40;  // C:\Users\a\AppData\Local\TAVRO\Installer

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

DWORD AttemptSteps(const AttemptPlace& place)
{
    ErrorText error;
    FailureDetail detail;
    ForgetFailedProxyDiscovery();
    Log(place, kLogCheckingManifest);
    ReportProgress(place, 0);

    ByteBuffer manifestBytes;
    if (!DownloadUrl(ManifestUrl(), manifestBytes, DownloadReport(), error, &detail)) {
        return FailAttempt(place, error, detail);
    }
    // A signed manifest holds the download to the installer size it names.
    unsigned long long installerSize = kAnyLength;
#ifdef TAVRO_MANIFEST_KEYS
    // The bytes as received, before anything reads them. (Only a build with
    // manifest keys imports the CNG functions that verify them.)
    SignedFields signedFields;
    std::wstring fault;
    switch (CheckSignedManifest(manifestBytes, place.Directory, ManifestKeys(), ManifestRulesNow(kManifestFloor),
                                signedFields, fault)) {
    case ManifestVerdict::Refused:
        return FailAttempt(place, kMsgManifestUnverified, DescribeFailure(fault, L"in", UrlForLog(ManifestUrl())));
    case ManifestVerdict::Expired:
        return FailAttempt(place, kMsgManifestExpired, DescribeFailure(fault, L"in", UrlForLog(ManifestUrl())));
    case ManifestVerdict::Verified:
        break;
    }
    installerSize = signedFields.InstallerSize;
    // Only what the signature covers is read from here on.
    const ReleaseManifest& manifest = signedFields.Entries;
#else
    const ReleaseManifest manifest = ParseReleaseManifest(Utf8ToWide(manifestBytes));
#endif
    ReleaseFields release;
    if (!CheckReleaseManifest(manifest, release, error)) {
        return FailAttempt(place, error, ManifestFault(manifestBytes, manifest, release));
    }

    const std::wstring& workingDirectory = place.Directory;
    const std::wstring installerPath = workingDirectory + L"\\" + InstallerFileName(release.Version);
    // The program is not long-path aware: a path longer than MAX_PATH would
    // be downloaded and then not be saved.
    if (installerPath.size() >= MAX_PATH) {
        const bool versionAtFault =
            kShortestWorkingDirectoryLength + 1 + InstallerFileName(release.Version).size() >= MAX_PATH;
        return FailAttempt(place, versionAtFault ? kMsgManifestBadVersion : kMsgInstallerPathTooLong,
                           DescribeFailure(L"a path of " + std::to_wstring(installerPath.size()) +
                                               L" characters, above Windows' 259",
                                           L"saving the installer as", installerPath));
    }
    if (place.Report.InstallerNamed) {
        place.Report.InstallerNamed(installerPath);
    }
    Log(place, kLogDownloadingPrefix + release.Version + L".");

    // Bytes that are not verified never sit under the installer's name: they
    // go to the attempt's own file, which is moved there once verified. So a
    // second attempt, or a program holding the name open, cannot make this
    // attempt's result false. Each attempt file has a name of its own, so
    // those of attempts whose process ended (a closed window, a killed
    // process) are swept first, or they would pile up.
    DeleteLeftAttemptFiles(workingDirectory);
    AttemptFile download;
    *download.Handle.Receive() = CreateAttemptFile(workingDirectory, download.Path);
    if (!download.Handle.IsValid()) {
        return FailDiscardingDownload(
            place, download, kMsgDownloadFailed,
            DescribeFailure(WindowsErrorCause(GetLastError()), L"creating a file in", workingDirectory));
    }
    DownloadReport installerReport;
    installerReport.Progress = place.Report.Progress;
    installerReport.Resumed = [&place](unsigned long long resumedAt) {
        Log(place, kLogResumedPrefix + std::to_wstring(resumedAt) + kLogResumedSuffix);
    };
    if (!DownloadUrlToFile(release.InstallerUrl, download.Handle.Get(), installerReport, error, &detail,
                           installerSize)) {
        return FailDiscardingDownload(place, download, error, detail);
    }

    std::wstring computedSha256;
    if (!ComputeHandleSha256(download.Handle.Get(), computedSha256, error, &detail)) {
        return FailDiscardingDownload(place, download, error, detail, kLogHashFailed);
    }
    if (!Sha256TextsMatch(release.InstallerSha256, computedSha256)) {
        return FailDiscardingDownload(place, download, kMsgHashMismatch,
                                      DescribeFailure(L"SHA-256 " + computedSha256, L"computed where the manifest names",
                                                      TextForLog(release.InstallerSha256)),
                                      kLogHashFailed);
    }
#ifdef TAVRO_PUBLISHER
    // Only a build pinned to a publisher imports what checks the signature.
    std::wstring refused;
    if (!CheckPublisherSignature(download.Handle.Get(), download.Path, kRequiredPublisher, error, &refused)) {
        return FailDiscardingDownload(
            place, download, error, DescribeFailure(refused, L"checking the signature of", UrlForLog(release.InstallerUrl)),
            kLogSignatureFailed);
    }
#endif
    DWORD moveError = 0;
    switch (PutInPlace(download.Handle.Get(), installerPath, release.InstallerSha256, moveError)) {
    case Placement::Refused:
        return FailDiscardingDownload(
            place, download, kMsgInstallerNotSaved,
            DescribeFailure(WindowsErrorCause(moveError), L"moving the verified file to", installerPath));
    case Placement::AlreadyThere:
        download.Discard();
        break;
    case Placement::Moved:
        download.Moved = true;
        // Our handle holds write access; the window cannot start the file
        // until it is closed.
        download.Handle.Reset();
        break;
    }

    Log(place, kLogVerified);
    if (place.Report.Verified) {
        place.Report.Verified(installerPath);
    }
    return 0;
}

}  // namespace

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

bool Sha256TextsMatch(const std::wstring& expected, const std::wstring& computed)
{
    return FoldAsciiCase(TrimWhitespace(expected)) == FoldAsciiCase(TrimWhitespace(computed));
}

DWORD RunAttempt(const std::wstring& workingDirectory, const AttemptReport& report)
{
    LoadFromSystemDirectory(kWinHttpDll);
    LoadFromSystemDirectory(kBcryptDll);
    if (kRequiredPublisher[0] != L'\0') {
        LoadFromSystemDirectory(kWinTrustDll);
        LoadFromSystemDirectory(kCrypt32Dll);
    }
    const AttemptPlace place = {workingDirectory, report};
    // Whatever an attempt throws (an allocation that failed) ends that
    // attempt, not the process; unwinding has already deleted its file.
    try {
        return AttemptSteps(place);
    } catch (...) {
    }
    return FailAttempt(place, kMsgOutOfMemory, L"an allocation that failed during the attempt.");
}
