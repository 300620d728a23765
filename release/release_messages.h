#pragma once

#include <string>

// Every sentence the release code can show to the user or write to the log.

constexpr wchar_t kMsgUrlInvalid[] = L"The release URL is invalid.";
constexpr wchar_t kMsgUrlNotHttps[] = L"The release URL must use HTTPS.";
constexpr wchar_t kMsgUrlForeignHost[] = L"The release URL is not hosted on the official TAVRO domain.";

constexpr wchar_t kMsgDownloadInit[] = L"Unable to initialize the secure download service.";
constexpr wchar_t kMsgDownloadFailed[] =
    L"The download could not be completed. Check the internet connection and try again.";
constexpr wchar_t kMsgDownloadBadStatus[] = L"The TAVRO server returned an unexpected response.";
constexpr wchar_t kMsgProxySignIn[] =
    L"The proxy server named in this computer's Internet settings asked for a sign-in that the installer cannot "
    L"give. Ask your network administrator to let the installer through, or try another network.";

constexpr wchar_t kMsgVerifyInit[] = L"Unable to initialize package verification.";
constexpr wchar_t kMsgVerifyFailed[] = L"The downloaded package could not be verified.";

constexpr wchar_t kMsgManifestIncomplete[] = L"The TAVRO release manifest is incomplete.";
constexpr wchar_t kMsgManifestBadVersion[] = L"The TAVRO release manifest names an invalid version.";
// A build with a manifest key: the manifest is not signed by it, or its
// signed fields are not as required; or it has expired.
constexpr wchar_t kMsgManifestUnverified[] = L"The TAVRO release manifest could not be verified. It will not be used.";
constexpr wchar_t kMsgManifestExpired[] =
    L"The TAVRO release manifest has expired. Check that this computer's date and time are correct, then try "
    L"again.";
constexpr wchar_t kMsgHashMismatch[] =
    L"The downloaded installer did not match the official SHA-256 value. It will not be executed.";

// "The downloaded installer is not signed by <publisher>. It will not be
// executed."
inline std::wstring PublisherRefusal(const std::wstring& publisher)
{
    return L"The downloaded installer is not signed by " + publisher + L". It will not be executed.";
}

constexpr wchar_t kMsgInstallerNotSaved[] =
    L"The verified installer could not be saved. Close any program that is using it and try again.";
// The installer's bytes could not be written (a full disk), or its path in
// the user's profile is longer than Windows takes.
constexpr wchar_t kMsgInstallerNotWritten[] =
    L"The installer could not be saved. Check that the disk has free space and try again.";
constexpr wchar_t kMsgInstallerPathTooLong[] =
    L"The installer could not be saved: the path of this user's local application data folder is too long.";
constexpr wchar_t kMsgOutOfMemory[] =
    L"The computer ran out of memory during the installation attempt. Close other programs and try again.";

constexpr wchar_t kLogCheckingManifest[] = L"Checking the TAVRO release manifest.";
constexpr wchar_t kLogDownloadingPrefix[] = L"Downloading TAVRO Static Module ";
constexpr wchar_t kLogHashFailed[] = L"Installer SHA-256 verification failed.";
constexpr wchar_t kLogSignatureFailed[] = L"Installer signature verification failed.";
constexpr wchar_t kLogVerified[] = L"Installer verified successfully.";
// A build with a manifest key, about the record of the highest sequence
// accepted: + what failed (failure_detail.h). The build's floor holds.
constexpr wchar_t kLogSequenceUnread[] = L"The manifest sequence record could not be read: ";
constexpr wchar_t kLogSequenceUnkept[] = L"The manifest sequence record could not be kept: ";
// A build with mirror hosts (release_hosts.h): which host the manifest and
// the installer came from, and why one was passed over.
constexpr wchar_t kLogManifestNotFromPrefix[] = L"No verified release manifest from ";
constexpr wchar_t kLogManifestFromPrefix[] = L"Release manifest taken from ";
constexpr wchar_t kLogInstallerNotFromPrefix[] = L"Installer not taken from ";
constexpr wchar_t kLogInstallerFromPrefix[] = L"Installer downloaded from ";
// "Download resumed at " + the byte it goes on from + " bytes."
constexpr wchar_t kLogResumedPrefix[] = L"Download resumed at ";
constexpr wchar_t kLogResumedSuffix[] = L" bytes.";
