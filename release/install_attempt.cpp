#include "release/install_attempt.h"

#include "release/build_settings.h"
#include "release/failure_detail.h"
#include "release/transfer/async_request.h"
#include "release/transfer/https_transfer.h"
#include "release/manifest.h"
#include "release/trust/package_verification.h"
#include "release/transfer/proxy_settings.h"
#include "release/trust/publisher_signature.h"
#include "release/release_hosts.h"
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
    KeptDownload* Kept;  // null: a failed download is not kept
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

// The download an earlier attempt kept, when it is of this release (the same
// URL, SHA-256 and signed size): its file and where it stopped become this
// attempt's. Any other goes, its file deleted.
bool TakeKeptDownload(KeptDownload* kept, const ReleaseFields& release, unsigned long long installerSize,
                      AttemptFile& download, PartialBody& partial)
{
    if (kept == nullptr || !kept->Handle.IsValid()) {
        return false;
    }
    if (kept->InstallerUrl != release.InstallerUrl || !Sha256TextsMatch(kept->InstallerSha256, release.InstallerSha256) ||
        kept->InstallerSize != installerSize) {
        kept->Discard();
        return false;
    }
    *download.Handle.Receive() = kept->Handle.Detach();
    download.Path = kept->Path;
    partial = kept->Body;
    kept->Path.clear();
    kept->Discard();
    // Where the body goes on from: the file's start is the body's.
    const LARGE_INTEGER start = {};
    SetFilePointerEx(download.Handle.Get(), start, nullptr, FILE_BEGIN);
    return true;
}

// The attempt file and what is known of its body, kept for "Try again": the
// handle stays open, so no other writer and no sweep of attempt files can
// touch it meanwhile.
void KeepDownload(KeptDownload& kept, const ReleaseFields& release, unsigned long long installerSize,
                  const PartialBody& partial, AttemptFile& download)
{
    kept.Discard();
    *kept.Handle.Receive() = download.Handle.Detach();
    kept.Path = download.Path;
    download.Path.clear();
    kept.InstallerUrl = release.InstallerUrl;
    kept.InstallerSha256 = release.InstallerSha256;
    kept.InstallerSize = installerSize;
    kept.Body = partial;
}

#ifdef TAVRO_MANIFEST_KEYS
// Before the installer's next place: the bytes of the one that failed go
// first, so that nothing of one host is ever read with another's, and a
// file of its own, hashed from its first byte, takes the next host's.
bool StartNextPlace(const AttemptPlace& place, const std::wstring& failedUrl, const FailureDetail& failure,
                    AttemptFile& download, RunningSha256& hash, PartialBody& partial, ErrorText& error,
                    FailureDetail& detail)
{
    download.Discard();
    Log(place, InstallerHostFailedLine(failedUrl, failure));
    partial = PartialBody();
    *download.Handle.Receive() = CreateAttemptFile(place.Directory, download.Path);
    if (!download.Handle.IsValid()) {
        error = kMsgDownloadFailed;
        detail = DescribeFailure(WindowsErrorCause(GetLastError()), L"creating a file in", place.Directory);
        return false;
    }
    return hash.Begin(error, detail);
}
#endif

DWORD AttemptSteps(const AttemptPlace& place)
{
    ErrorText error;
    FailureDetail detail;
    ForgetFailedProxyDiscovery();
    Log(place, kLogCheckingManifest);
    ReportProgress(place, 0);

    // Every request of the attempt goes through these, and none outlives it.
    TransferSessions sessions;
    ReleaseFields release;
    unsigned long long installerSize = kAnyLength;
#ifdef TAVRO_MANIFEST_KEYS
    // Where the installer may come from, in order: installerUrl, then the
    // signed manifest's mirrors of it.
    std::vector<std::wstring> installerUrls;
    if (!FetchSignedRelease(place.Directory, sessions, release, installerSize, installerUrls, error, detail)) {
        return FailAttempt(place, error, detail);
    }
    const bool mirrored = !MirrorHosts().empty();
#else
    if (!FetchRelease(place.Directory, sessions, release, installerSize, error, detail)) {
        return FailAttempt(place, error, detail);
    }
#endif

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
    // The hash lives with what is kept, so that bytes kept for "Try again"
    // are hashed once.
    RunningSha256 ownHash;
    RunningSha256& hash = place.Kept != nullptr ? place.Kept->Hash : ownHash;
    PartialBody partial;
    // Where a kept download goes on from, the log says as for a resume.
    if (!TakeKeptDownload(place.Kept, release, installerSize, download, partial)) {
        *download.Handle.Receive() = CreateAttemptFile(workingDirectory, download.Path);
        if (!download.Handle.IsValid()) {
            return FailDiscardingDownload(
                place, download, kMsgDownloadFailed,
                DescribeFailure(WindowsErrorCause(GetLastError()), L"creating a file in", workingDirectory));
        }
        // Hashed as it is written: the attempt file is open with writers
        // kept out (FILE_SHARE_READ) from its creation to its move, so what
        // is hashed is what the file holds when it is moved and started.
        if (!hash.Begin(error, detail)) {
            return FailDiscardingDownload(place, download, error, detail, kLogHashFailed);
        }
    }
    DownloadReport installerReport;
    installerReport.Progress = place.Report.Progress;
    installerReport.Resumed = [&place](unsigned long long resumedAt) {
        Log(place, kLogResumedPrefix + std::to_wstring(resumedAt) + kLogResumedSuffix);
    };
    FileDownload how;
    how.RequiredLength = installerSize;
    how.Sessions = &sessions;
    how.Hash = &hash;
    how.Partial = &partial;
#ifdef TAVRO_MANIFEST_KEYS
    // Each place in turn while the one before fails: its own file, the
    // same signed size and SHA-256. The user hears the first place's
    // sentence; the detail names what each did.
    ErrorText firstError;
    FailureDetail tried;
    std::wstring computedSha256;
    for (size_t at = 0;; ++at) {
        const std::wstring& installerUrl = installerUrls[at];
        const bool another = at + 1 < installerUrls.size();
        FailureDetail failure;
        ErrorText sentence;
        if (!DownloadUrlToFile(installerUrl, download.Handle.Get(), installerReport, sentence, &failure, how)) {
            // Cut part-way after its resumes, and no other place: the bytes
            // wait for "Try again".
            if (installerUrls.size() == 1 && place.Kept != nullptr && partial.Received != 0) {
                KeepDownload(*place.Kept, release, installerSize, partial, download);
                return FailAttempt(place, sentence, failure);
            }
        } else if (!hash.Finish(computedSha256, sentence, failure)) {
            return FailDiscardingDownload(place, download, sentence, failure, kLogHashFailed);
        } else if (!Sha256TextsMatch(release.InstallerSha256, computedSha256)) {
            // A place that serves other bytes: they go before anything else.
            download.Discard();
            Log(place, kLogHashFailed);
            sentence = kMsgHashMismatch;
            failure = DescribeFailure(L"SHA-256 " + computedSha256, L"computed where the manifest names",
                                      TextForLog(release.InstallerSha256));
        } else {
            if (mirrored) {
                Log(place, InstallerHostLine(installerUrl));
            }
            break;
        }
        if (at == 0) {
            firstError = sentence;
        }
        tried = JoinDetails(tried, failure);
        if (!another) {
            return FailDiscardingDownload(place, download, firstError, installerUrls.size() == 1 ? failure : tried);
        }
        if (!StartNextPlace(place, installerUrl, failure, download, hash, partial, error, detail)) {
            return FailDiscardingDownload(place, download, error, detail,
                                          download.Handle.IsValid() ? kLogHashFailed : nullptr);
        }
    }
#else
    if (!DownloadUrlToFile(release.InstallerUrl, download.Handle.Get(), installerReport, error, &detail, how)) {
        // Cut part-way after its resumes: the bytes wait for "Try again".
        if (place.Kept != nullptr && partial.Received != 0) {
            KeepDownload(*place.Kept, release, installerSize, partial, download);
            return FailAttempt(place, error, detail);
        }
        return FailDiscardingDownload(place, download, error, detail);
    }

    std::wstring computedSha256;
    if (!hash.Finish(computedSha256, error, detail)) {
        return FailDiscardingDownload(place, download, error, detail, kLogHashFailed);
    }
    if (!Sha256TextsMatch(release.InstallerSha256, computedSha256)) {
        return FailDiscardingDownload(place, download, kMsgHashMismatch,
                                      DescribeFailure(L"SHA-256 " + computedSha256, L"computed where the manifest names",
                                                      TextForLog(release.InstallerSha256)),
                                      kLogHashFailed);
    }
#endif
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

bool Sha256TextsMatch(const std::wstring& expected, const std::wstring& computed)
{
    return FoldAsciiCase(TrimWhitespace(expected)) == FoldAsciiCase(TrimWhitespace(computed));
}

void KeptDownload::Discard()
{
    Handle.Reset();
    if (!Path.empty()) {
        DeleteFileW(Path.c_str());
        Path.clear();
    }
    Body = PartialBody();
}

DWORD RunAttempt(const std::wstring& workingDirectory, const AttemptReport& report, KeptDownload* kept)
{
    LoadFromSystemDirectory(kWinHttpDll);
    LoadFromSystemDirectory(kBcryptDll);
    if (kRequiredPublisher[0] != L'\0') {
        LoadFromSystemDirectory(kWinTrustDll);
        LoadFromSystemDirectory(kCrypt32Dll);
    }
    const AttemptPlace place = {workingDirectory, report, kept};
    // Whatever an attempt throws (an allocation that failed) ends that
    // attempt, not the process; unwinding has already deleted its file.
    try {
        return AttemptSteps(place);
    } catch (...) {
    }
    return FailAttempt(place, kMsgOutOfMemory, L"an allocation that failed during the attempt.");
}
