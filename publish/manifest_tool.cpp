// tavro-manifest: writes or checks the release manifest for a setup file,
// with the rules of the installer built beside it (same official host), and
// tells what users get from the official host once both are published.
//
//   tavro-manifest write SETUP VERSION URL OUT [MIRROR-URL...]
//   tavro-manifest check MANIFEST [SETUP]
//   tavro-manifest live
//   tavro-manifest live-sequence
//   tavro-manifest fields
//
// Built with TAVRO_MANIFEST_KEY, check takes only a manifest this build's
// installers would take now (signature, expires, sequence, installersize),
// and without SETUP it checks the manifest alone (a re-signed one); live
// also says when the live manifest expires, and live-sequence says which
// sequence the live manifest has (make manifest signs above it). Signed,
// write puts each MIRROR-URL in an installerMirror line, and live checks
// the manifest and the setup on every host (CheckEveryPlace). fields
// prints the manifest's fields, one a line: its name, "signed" when only a
// signed manifest has it (else "always"), and its rule in a word (RuleWord).
//
// Exit code 0: written, accepted, or users get a verified installer;
// 1: refused (the reason on stderr), or users see a failure (the sentence on
// stdout); 2: wrong usage.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "publish/live_release.h"
#include "publish/release_manifest.h"
#include "release/failure_detail.h"
#include "release/install_attempt.h"
#include "release/manifest_fields.h"
#include "release/release_hosts.h"
#include "release/release_messages.h"

namespace {

// Text to a console, else UTF-8 bytes to a file or pipe.
void Print(DWORD stream, const std::wstring& line)
{
    const HANDLE handle = GetStdHandle(stream);
    const std::wstring text = line + L"\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int length = static_cast<int>(text.size());
    const int count = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), length, nullptr, 0, nullptr, nullptr);
    if (count <= 0) {
        return;
    }
    std::string bytes(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), length, &bytes[0], count, nullptr, nullptr);
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// A file that could not be read or written is no refusal of the manifest.
int Failed(const ErrorText& why, ManifestFault fault)
{
    Print(STD_ERROR_HANDLE, (fault == ManifestFault::Refused ? L"tavro-manifest: refused: " : L"tavro-manifest: ") + why);
    return 1;
}

// A live manifest that expires sooner than this gets a warning.
constexpr long long kWarnDays = 14;

// "2027-03-01T00:00:00Z"
std::wstring UtcText(long long seconds)
{
    const unsigned long long ticks = static_cast<unsigned long long>(seconds + 11644473600LL) * 10000000ULL;
    const FILETIME time = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc = {};
    FileTimeToSystemTime(&time, &utc);
    wchar_t text[32] = {};
    std::swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
                  utc.wMinute, utc.wSecond);
    return text;
}

// To the nearest day: a manifest signed 30 days ahead a moment ago (make
// manifest, make manifest-refresh) expires "in 30 days", not 29.
long long DaysLeft(long long expiresSeconds)
{
    const long long left = expiresSeconds - NowUtcSeconds();
    return left >= 0 ? (left + 43200) / 86400 : -((43200 - left) / 86400);
}

void PrintSigned(const SignedFields& fields)
{
    Print(STD_OUTPUT_HANDLE, L"Signed: sequence " + std::to_wstring(fields.Sequence) + L", expires " +
                                 UtcText(fields.ExpiresSeconds) + L" (in " +
                                 std::to_wstring(DaysLeft(fields.ExpiresSeconds)) + L" days), installersize " +
                                 std::to_wstring(fields.InstallerSize) +
                                 L"; verified as this build's installers verify it (TAVRO_MANIFEST_KEY).");
}

void PrintLiveExpiry(const LiveOutcome& outcome)
{
    const long long days = DaysLeft(outcome.ExpiresSeconds);
    Print(STD_OUTPUT_HANDLE, L"The manifest is signed (sequence " + std::to_wstring(outcome.Sequence) +
                                 L") and expires " + UtcText(outcome.ExpiresSeconds) + L", in " +
                                 std::to_wstring(days) + L" days.");
    if (days < kWarnDays) {
        Print(STD_ERROR_HANDLE, L"tavro-manifest: warning: the live manifest expires in " + std::to_wstring(days) +
                                    L" days: run make manifest-refresh and publish the manifest it writes before "
                                    L"then, or users will see: " + kMsgManifestExpired);
    }
}

void PrintRelease(const ReleaseFields& release)
{
    Print(STD_OUTPUT_HANDLE, ComposeManifest(release) + L"Publish it at " + ManifestUrl() +
                                 L" and the setup file at " + release.InstallerUrl);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    ReleaseFields release;
    ErrorText why;
    ManifestFault fault = ManifestFault::Refused;
    if (mode == L"write" && argc >= 6) {
        const std::vector<std::wstring> mirrors(argv + 6, argv + argc);
        if (!WriteManifestFile(argv[2], argv[3], argv[4], mirrors, argv[5], release, why, fault)) {
            return Failed(why, fault);
        }
        Print(STD_OUTPUT_HANDLE, std::wstring(L"Wrote ") + argv[5]);
        if (release.InstallerUrl != argv[4]) {
            Print(STD_OUTPUT_HANDLE, L"installerUrl is written without its fragment: the installer never sends one.");
        }
        PrintRelease(release);
        return 0;
    }
    if (mode == L"check" && (argc == 4 || (argc == 3 && ManifestsAreSigned()))) {
        SignedFields signedFields;
        const std::wstring setup = argc == 4 ? argv[3] : L"";
        if (!CheckManifestFile(argv[2], setup, release, signedFields, why, fault)) {
            return Failed(why, fault);
        }
        Print(STD_OUTPUT_HANDLE, std::wstring(L"Accepted ") + argv[2] +
                                     (setup.empty() ? L" (no setup file given: its SHA-256 and size are as signed)"
                                                    : L" for " + setup));
        PrintRelease(release);
        if (ManifestsAreSigned()) {
            PrintSigned(signedFields);
        }
        return 0;
    }
    if (mode == L"fields" && argc == 2) {
        for (const ManifestField& field : kManifestFields) {
            Print(STD_OUTPUT_HANDLE, std::wstring(field.Name) + (field.SignedOnly ? L" signed " : L" always ") +
                                         RuleWord(field.Rule));
        }
        // Fields a manifest may leave out, listed where this build reads them.
        if (!MirrorHosts().empty()) {
            for (const ManifestField& field : kInstallerMirrorFields) {
                Print(STD_OUTPUT_HANDLE, std::wstring(field.Name) + L" optional " + RuleWord(field.Rule));
            }
        }
        return 0;
    }
    if (mode == L"live" && argc == 2) {
        Print(STD_OUTPUT_HANDLE, L"Checked " + ManifestUrl() + L" with the installer's own code.");
        LiveOutcome outcome;
        if (!CheckLiveRelease(outcome, why)) {
            Print(STD_ERROR_HANDLE, L"tavro-manifest: " + why);
            return 1;
        }
        if (!outcome.Verified) {
            // The sentence alone hides which check failed: the user's log
            // has the detail line under it, and so does this.
            Print(STD_OUTPUT_HANDLE, L"Users see: " + outcome.UserSees);
            if (!outcome.Detail.empty()) {
                Print(STD_OUTPUT_HANDLE, kLogDetailPrefix + outcome.Detail);
            }
            return 1;
        }
        Print(STD_OUTPUT_HANDLE, L"Users get " + outcome.InstallerName + L", verified: SHA-256 " + outcome.Sha256 +
                                     L", " + std::to_wstring(outcome.Size) + L" bytes.");
        if (outcome.Signed) {
            PrintLiveExpiry(outcome);
        }
        // Users may be served by any host: each one says what it serves.
        std::vector<std::wstring> places;
        const bool allSame = !outcome.Signed || CheckEveryPlace(places);
        for (const std::wstring& line : places) {
            Print(STD_OUTPUT_HANDLE, line);
        }
        return allSame ? 0 : 1;
    }
    if (mode == L"live-sequence" && argc == 2 && ManifestsAreSigned()) {
        unsigned long long sequence = 0;
        size_t keyNumber = 0;
        if (!ReadLiveSequence(sequence, keyNumber, why)) {
            // A detail line ends with its own full stop.
            const wchar_t* stop = !why.empty() && why.back() == L'.' ? L"" : L".";
            Print(STD_OUTPUT_HANDLE, L"The live manifest " + ManifestUrl() + L" " + why + stop);
            return 1;
        }
        Print(STD_OUTPUT_HANDLE, L"The live manifest " + ManifestUrl() + L" has sequence " + std::to_wstring(sequence) +
                                     L", signed by key " + std::to_wstring(keyNumber) + L" of this build.");
        return 0;
    }
    Print(STD_ERROR_HANDLE, L"usage: tavro-manifest write SETUP VERSION URL OUT [MIRROR-URL...]\n"
                            L"       tavro-manifest check MANIFEST SETUP\n"
                            L"       tavro-manifest check MANIFEST (a build with TAVRO_MANIFEST_KEY)\n"
                            L"       tavro-manifest live\n"
                            L"       tavro-manifest live-sequence (a build with TAVRO_MANIFEST_KEY)");
    return 2;
}
