// tavro-manifest: writes or checks the release manifest for a setup file,
// with the rules of the installer built beside it (same official host), and
// tells what users get from the official host once both are published.
//
//   tavro-manifest write SETUP VERSION URL OUT
//   tavro-manifest check MANIFEST SETUP
//   tavro-manifest live
//
// Exit code 0: written, accepted, or users get a verified installer;
// 1: refused (the reason on stderr), or users see a failure (the sentence on
// stdout); 2: wrong usage.

#include <windows.h>

#include <string>

#include "publish/live_release.h"
#include "publish/release_manifest.h"
#include "release/install_attempt.h"

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
    if (mode == L"write" && argc == 6) {
        if (!WriteManifestFile(argv[2], argv[3], argv[4], argv[5], release, why, fault)) {
            return Failed(why, fault);
        }
        Print(STD_OUTPUT_HANDLE, std::wstring(L"Wrote ") + argv[5]);
        if (release.InstallerUrl != argv[4]) {
            Print(STD_OUTPUT_HANDLE, L"installerUrl is written without its fragment: the installer never sends one.");
        }
        PrintRelease(release);
        return 0;
    }
    if (mode == L"check" && argc == 4) {
        if (!CheckManifestFile(argv[2], argv[3], release, why, fault)) {
            return Failed(why, fault);
        }
        Print(STD_OUTPUT_HANDLE, std::wstring(L"Accepted ") + argv[2] + L" for " + argv[3]);
        PrintRelease(release);
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
            Print(STD_OUTPUT_HANDLE, L"Users see: " + outcome.UserSees);
            return 1;
        }
        Print(STD_OUTPUT_HANDLE, L"Users get " + outcome.InstallerName + L", verified: SHA-256 " + outcome.Sha256 +
                                     L", " + std::to_wstring(outcome.Size) + L" bytes.");
        return 0;
    }
    Print(STD_ERROR_HANDLE, L"usage: tavro-manifest write SETUP VERSION URL OUT\n"
                            L"       tavro-manifest check MANIFEST SETUP\n"
                            L"       tavro-manifest live");
    return 2;
}
