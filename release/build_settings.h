#pragma once

// Build settings arrive as narrow string literals (-DNAME="text"); the
// program's texts are wide.
#include <string>
#include <vector>

#define TAVRO_WIDEN2(text) L##text
#define TAVRO_WIDEN(text) TAVRO_WIDEN2(text)

// What this build was configured with (CMakeLists.txt,
// cmake/ReleaseLocks.cmake), read in build_settings.cpp alone: every
// program built from the core sees the same values, whatever its own
// sources were compiled with. Only a call into a DLL that one kind of build
// alone imports is compiled out of the others, where it is made
// (cmake/DelayLoad.cmake).

// The largest installer the installer downloads, in MiB
// (TAVRO_MAX_INSTALLER_MIB, which CMake passes to every source, so that the
// limits can be constant).
#ifndef TAVRO_MAX_INSTALLER_MIB
#define TAVRO_MAX_INSTALLER_MIB 1024
#endif
constexpr unsigned long long kMaxInstallerMib = TAVRO_MAX_INSTALLER_MIB;

// The publisher whose Authenticode signature a downloaded installer must
// carry, as its certificate names it (TAVRO_PUBLISHER); empty: no
// signature is checked.
extern const wchar_t kRequiredPublisher[];

// The SHA-256 (lower-case hex) of the SubjectPublicKeyInfo of a CA that
// must be in the signer's chain (TAVRO_PUBLISHER_CA); empty: no pin.
extern const wchar_t kPublisherCaPin[];

// The keys of which one must have signed the release manifest
// (TAVRO_MANIFEST_KEY): the base64 of each P-256 SubjectPublicKeyInfo,
// separated by spaces; empty: manifests are not signed.
extern const wchar_t kManifestKeysText[];

// The hosts a build with manifest keys also asks for the signed manifest
// and the installer, in order, after the official host
// (TAVRO_MIRROR_HOSTS): lower case, separated by spaces; empty: none, and
// always empty in a build without manifest keys.
extern const wchar_t kMirrorHostsText[];

// The words of a setting that lists several (the keys, the mirror hosts,
// the log's witnesses), separated by spaces.
template <class Char>
std::vector<std::basic_string<Char>> SettingWords(const std::basic_string<Char>& text)
{
    using Text = std::basic_string<Char>;
    std::vector<Text> words;
    size_t start = text.find_first_not_of(Char(' '));
    while (start != Text::npos) {
        const size_t end = text.find(Char(' '), start);
        words.push_back(text.substr(start, end == Text::npos ? Text::npos : end - start));
        start = text.find_first_not_of(Char(' '), end == Text::npos ? text.size() : end);
    }
    return words;
}

// How far ahead a manifest may expire (TAVRO_MANIFEST_MAX_DAYS), so that an
// old stolen manifest is not valid for years, and the lowest sequence this
// build takes (TAVRO_MANIFEST_FLOOR, the last one signed when it was built).
extern const long long kManifestMaxDays;
extern const unsigned long long kManifestFloor;

// The transparency log a signed manifest must be in (TAVRO_LOG_KEY): its
// note verifier key, "name+keyid+base64", whose name is the origin line of
// its checkpoints; empty: no log proof is asked for. The witnesses'
// cosignature verifier keys, separated by spaces (TAVRO_LOG_WITNESSES), and
// how many of them must have cosigned (TAVRO_LOG_QUORUM). UTF-8, as signed
// notes are.
extern const char kLogKeyText[];
extern const char kLogWitnessesText[];
extern const unsigned kLogQuorum;
