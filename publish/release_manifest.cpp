#include "publish/release_manifest.h"

#include <windows.h>

#include <iterator>

#include "release/transfer/https_transfer.h"
#include "release/manifest.h"
#include "release/manifest_fields.h"
#include "release/trust/package_verification.h"
#include "release/trust/publisher_signature.h"
#include "release/release_hosts.h"
#include "release/release_messages.h"
#include "release/trust/signed_manifest_check.h"
#include "release/url_policy.h"
#include "platform/scoped_handle.h"

namespace {

constexpr wchar_t kByteOrderMark = 0xFEFF;

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

// "version is missing", "installerUrl is empty", "version = \"1:2\"".
std::wstring DescribeField(const ReleaseManifest& manifest, const wchar_t* key)
{
    const std::wstring* value = FieldValue(manifest, key);
    if (value == nullptr) {
        return std::wstring(key) + L" is missing";
    }
    if (value->empty()) {
        return std::wstring(key) + L" is empty";
    }
    return std::wstring(key) + L" = " + Quoted(*value);
}

ScopedFile OpenForReading(const std::wstring& path)
{
    return ScopedFile(NullIfInvalid(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr)));
}

// " (Access denied)": the system's words for the last error, for a sentence
// about a file.
std::wstring SystemReason(DWORD error)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring reason = length > 0 ? std::wstring(text, length) : L"error " + std::to_wstring(error);
    LocalFree(text);
    while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' || reason.back() == L'.' ||
                               reason.back() == L' ')) {
        reason.pop_back();
    }
    return L" (" + reason + L")";
}

bool SetupSha256(const std::wstring& setupPath, std::wstring& sha256, ErrorText& why)
{
    const ScopedFile setup = OpenForReading(setupPath);
    ErrorText ignored;
    if (!setup.IsValid() || !ComputeHandleSha256(setup.Get(), sha256, ignored)) {
        why = L"The setup file " + setupPath + L" cannot be read" + SystemReason(GetLastError()) + L".";
        return false;
    }
    return true;
}

bool WithinCap(unsigned long long size, ErrorText& why)
{
    if (size <= kMemoryBodyCap) {
        return true;
    }
    why = L"The manifest is " + std::to_wstring(size) + L" bytes, more than the " + std::to_wstring(kMemoryBodyCap) +
          L" the installer reads. The installer would say: " + kMsgDownloadFailed;
    return false;
}

// At most `limit` bytes of the file; `size` is its whole size.
bool ReadStart(const std::wstring& path, DWORD limit, ByteBuffer& bytes, unsigned long long& size)
{
    const ScopedFile file = OpenForReading(path);
    LARGE_INTEGER length = {};
    if (!file.IsValid() || !GetFileSizeEx(file.Get(), &length)) {
        return false;
    }
    size = static_cast<unsigned long long>(length.QuadPart);
    bytes.resize(static_cast<size_t>(size < limit ? size : limit));
    DWORD read = 0;
    if (!bytes.empty() && (!ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                           read != bytes.size())) {
        return false;
    }
    return true;
}

bool WideToUtf8(const std::wstring& text, ByteBuffer& bytes)
{
    bytes.clear();
    if (text.empty()) {
        return true;
    }
    const int length = static_cast<int>(text.size());
    const int count = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.c_str(), length, nullptr, 0,
                                          nullptr, nullptr);
    if (count <= 0) {
        return false;
    }
    bytes.resize(static_cast<size_t>(count));
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.c_str(), length,
                               reinterpret_cast<char*>(bytes.data()), count, nullptr, nullptr) == count;
}

bool WriteWhole(const std::wstring& path, const ByteBuffer& bytes)
{
    const ScopedFile file(NullIfInvalid(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
    DWORD written = 0;
    return file.IsValid() && WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                       nullptr) &&
           written == bytes.size();
}

// A value the manifest would not give back as it was given: spaces at
// either end are trimmed, a line break ends it.
bool ReadsBack(const wchar_t* key, const std::wstring& given, const std::wstring& read, ErrorText& why)
{
    if (given == read) {
        return true;
    }
    why = std::wstring(key) + L" " + Quoted(given) + L" would be read as " + Quoted(read) +
          L": no spaces at either end and no line breaks.";
    return false;
}

// Built for a publisher, the tool takes only a setup file that this build's
// installers would run: signed by that publisher and unchanged since.
bool SignedAsRequired(const std::wstring& setupPath, ErrorText& why, ManifestFault& fault)
{
    if (kRequiredPublisher[0] == L'\0') {
        return true;
    }
    const ScopedFile setup = OpenForReading(setupPath);
    ErrorText userSees;
    if (!setup.IsValid()) {
        fault = ManifestFault::FileAccess;
        why = L"The setup file " + setupPath + L" cannot be read" + SystemReason(GetLastError()) + L".";
        return false;
    }
    std::wstring cause;
    if (!CheckPublisherSignature(setup.Get(), setupPath, kRequiredPublisher, userSees, &cause)) {
        fault = ManifestFault::Refused;
        // The publisher's name is blamed only where the name, or the
        // signature itself, is at fault: a root this tool's Wine prefix
        // lacks (make clean removes the prefix) and the CA pin are named.
        if (cause.find(L"untrusted root") != std::wstring::npos || cause.find(L"partial chain") != std::wstring::npos) {
            why = L"The setup file " + setupPath + L" is signed under a root that the Wine prefix of this tool does "
                  L"not trust (" + cause + L"): a setup signed under a private CA needs make trust-root CA=<its "
                  L"certificate> first. The installer would say: " + userSees;
        } else if (cause == kPinFault) {
            why = L"The setup file " + setupPath + L" is signed by " + Quoted(kRequiredPublisher) +
                  L" under no CA whose key TAVRO_PUBLISHER_CA names: this build's installers refuse it. The "
                  L"installer would say: " + userSees;
        } else {
            why = L"The setup file " + setupPath + L" carries no valid signature by " + Quoted(kRequiredPublisher) +
                  L", the publisher this build requires (TAVRO_PUBLISHER). The installer would say: " + userSees;
        }
        return false;
    }
    return true;
}

bool CheckManifestContent(const std::wstring& manifestPath, const std::wstring& setupPath, ReleaseFields& release,
                          ErrorText& why, ManifestFault& fault, ByteBuffer& bytes)
{
    fault = ManifestFault::FileAccess;
    unsigned long long size = 0;
    if (!ReadStart(manifestPath, kMemoryBodyCap + 1, bytes, size)) {
        why = L"The manifest " + manifestPath + L" cannot be read" + SystemReason(GetLastError()) + L".";
        return false;
    }
    std::wstring setupSha256;
    if (!setupPath.empty() && !SetupSha256(setupPath, setupSha256, why)) {
        return false;
    }
    fault = ManifestFault::Refused;
    return WithinCap(size, why) && CheckManifestBytes(bytes, setupSha256, release, why);
}

// Built with manifest keys, the tool takes only a manifest that this build's
// installers would take now, for this setup file.
bool SignedAsInstallersRequire(const ByteBuffer& bytes, const std::wstring& setupPath, SignedFields& fields,
                               ErrorText& why, ManifestFault& fault)
{
    if (!ManifestsAreSigned()) {
        return true;
    }
    const ManifestRules rules = ManifestRulesNow(kManifestFloor);
    std::wstring cause;
    fault = ManifestFault::Refused;
    switch (VerifyManifest(bytes, ManifestKeys(), rules, fields, cause)) {
    case ManifestVerdict::Refused:
        why = L"The manifest fails this build's check of a signed manifest (TAVRO_MANIFEST_KEY): " + cause +
              L". The installer would say: " + kMsgManifestUnverified;
        return false;
    case ManifestVerdict::Expired:
        why = L"The manifest has expired: " + cause + L". The installer would say: " + kMsgManifestExpired;
        return false;
    case ManifestVerdict::Verified:
        break;
    }
    if (setupPath.empty()) {
        return true;
    }
    const ScopedFile setup = OpenForReading(setupPath);
    LARGE_INTEGER size = {};
    if (!setup.IsValid() || !GetFileSizeEx(setup.Get(), &size)) {
        fault = ManifestFault::FileAccess;
        why = L"The setup file " + setupPath + L" cannot be read" + SystemReason(GetLastError()) + L".";
        return false;
    }
    if (fields.InstallerSize != static_cast<unsigned long long>(size.QuadPart)) {
        why = L"installersize = " + std::to_wstring(fields.InstallerSize) + L" but the setup file is " +
              std::to_wstring(size.QuadPart) + L" bytes. The installer would say: " + kMsgDownloadBadStatus;
        return false;
    }
    return true;
}

}  // namespace

std::wstring ComposeManifest(const ReleaseFields& release)
{
    // A signed manifest names first where it is published, and is taken
    // from nowhere else.
    const auto line = [](const wchar_t* field, const std::wstring& value) {
        return std::wstring(field) + L"=" + value + L"\n";
    };
    const std::wstring origin = ManifestsAreSigned() ? line(kOriginField, ManifestUrl()) : L"";
    return origin + line(kVersionField, release.Version) + line(kInstallerUrlField, release.InstallerUrl) +
           line(kInstallerSha256Field, release.InstallerSha256);
}

std::wstring MirrorLines(const std::vector<std::wstring>& installerMirrors)
{
    std::wstring lines;
    for (size_t at = 0; at < installerMirrors.size() && at < std::size(kInstallerMirrorFields); ++at) {
        lines += std::wstring(kInstallerMirrorFields[at].Name) + L"=" + installerMirrors[at] + L"\n";
    }
    return lines;
}

bool CheckManifestBytes(const ByteBuffer& bytes, const std::wstring& setupSha256, ReleaseFields& release,
                        ErrorText& why)
{
    if (!WithinCap(bytes.size(), why)) {
        return false;
    }
    const std::wstring text = Utf8ToWide(bytes);
    const ReleaseManifest manifest = ParseReleaseManifest(text);
    ErrorText installerSays;
    const bool installerAccepts = CheckReleaseManifest(manifest, release, installerSays);

    std::wstring fault;
    if (!bytes.empty() && text.empty()) {
        fault = L"The manifest is not well-formed UTF-8.";
    } else if (!text.empty() && text[0] == kByteOrderMark) {
        fault = L"The manifest starts with a byte order mark; save it as UTF-8 without one.";
    } else if (!installerAccepts) {
        fault = DescribeField(manifest, release.FaultyKey) + L".";
    } else if (ManifestsAreSigned()) {
        // The mirror lines under the same policy as the installer's.
        std::vector<std::wstring> places;
        const wchar_t* faultyKey = nullptr;
        if (!InstallerUrls(manifest, release.InstallerUrl, places, faultyKey, installerSays)) {
            fault = DescribeField(manifest, faultyKey) + L" The installer would say: " + installerSays;
        }
    }
    if (!fault.empty()) {
        why = installerAccepts || fault.find(L" The installer would say: ") != std::wstring::npos
                  ? fault
                  : fault + L" The installer would say: " + installerSays;
        return false;
    }
    if (!setupSha256.empty() && !Sha256TextsMatch(release.InstallerSha256, setupSha256)) {
        why = L"installerSha256 = " + Quoted(release.InstallerSha256) + L" but the setup file's SHA-256 is " +
              setupSha256 + L". The installer would say: " + kMsgHashMismatch;
        return false;
    }
    return true;
}

bool ManifestsAreSigned()
{
    return !ManifestKeys().empty();
}

bool CheckManifestFile(const std::wstring& manifestPath, const std::wstring& setupPath, ReleaseFields& release,
                       SignedFields& signedFields, ErrorText& why, ManifestFault& fault)
{
    ByteBuffer bytes;
    return CheckManifestContent(manifestPath, setupPath, release, why, fault, bytes) &&
           SignedAsInstallersRequire(bytes, setupPath, signedFields, why, fault) &&
           (setupPath.empty() || SignedAsRequired(setupPath, why, fault));
}

bool WriteManifestFile(const std::wstring& setupPath, const std::wstring& version, const std::wstring& installerUrl,
                       const std::vector<std::wstring>& installerMirrors, const std::wstring& outPath,
                       ReleaseFields& release, ErrorText& why, ManifestFault& fault)
{
    DeleteFileW(outPath.c_str());
    // Only a signed manifest may send users to another host.
    if (!installerMirrors.empty() && !ManifestsAreSigned()) {
        fault = ManifestFault::Refused;
        why = L"Mirror lines are taken only by an installer built with TAVRO_MANIFEST_KEY: this build's installers "
              L"would ask the official host alone.";
        return false;
    }
    if (installerMirrors.size() > std::size(kInstallerMirrorFields)) {
        fault = ManifestFault::Refused;
        why = L"At most " + std::to_wstring(std::size(kInstallerMirrorFields)) + L" mirrors of the setup, not " +
              std::to_wstring(installerMirrors.size()) + L".";
        return false;
    }
    ReleaseFields given;
    given.Version = version;
    // The installer never sends a fragment; the manifest names what it asks for.
    given.InstallerUrl = WithoutFragment(installerUrl);
    fault = ManifestFault::FileAccess;
    if (!SetupSha256(setupPath, given.InstallerSha256, why)) {
        return false;
    }
    fault = ManifestFault::Refused;
    ByteBuffer bytes;
    if (!WideToUtf8(ComposeManifest(given) + MirrorLines(installerMirrors), bytes)) {
        why = L"The version or URL is not valid Unicode text.";
        return false;
    }
    if (!CheckManifestBytes(bytes, given.InstallerSha256, release, why) ||
        !ReadsBack(kVersionField, given.Version, release.Version, why) ||
        !ReadsBack(kInstallerUrlField, given.InstallerUrl, release.InstallerUrl, why) ||
        !SignedAsRequired(setupPath, why, fault)) {
        return false;
    }
    if (!WriteWhole(outPath, bytes)) {
        const DWORD error = GetLastError();
        DeleteFileW(outPath.c_str());
        fault = ManifestFault::FileAccess;
        why = L"The manifest cannot be written to " + outPath + SystemReason(error) + L".";
        return false;
    }
    // What is on disk is what gets uploaded: it is checked once more as such.
    ByteBuffer written;
    if (!CheckManifestContent(outPath, setupPath, release, why, fault, written)) {
        DeleteFileW(outPath.c_str());
        return false;
    }
    return true;
}
