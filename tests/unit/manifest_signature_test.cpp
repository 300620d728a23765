#include "release/trust/manifest_signature.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <bcrypt.h>

#include <string>
#include <vector>

#include "release/trust/package_verification.h"
#include "release/trust/signed_manifest_check.h"
#include "official_host.h"
#include "platform/scoped_handle.h"
#include "pattern_file.h"
#include "test_directory.h"

namespace {

// A P-256 key pair made by CNG, standing in for the publisher's.
struct TestKey {
    BCRYPT_ALG_HANDLE Provider = nullptr;
    BCRYPT_KEY_HANDLE Key = nullptr;
    std::wstring SpkiBase64;

    TestKey()
    {
        BCryptOpenAlgorithmProvider(&Provider, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
        BCryptGenerateKeyPair(Provider, &Key, 256, 0);
        BCryptFinalizeKeyPair(Key, 0);
        unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64] = {};
        ULONG size = 0;
        BCryptExportKey(Key, nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof(blob), &size, 0);
        static const unsigned char kPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                                0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                                0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
        std::vector<unsigned char> spki(kPrefix, kPrefix + sizeof(kPrefix));
        spki.insert(spki.end(), blob + sizeof(BCRYPT_ECCKEY_BLOB), blob + sizeof(blob));
        SpkiBase64 = Base64(spki);
    }
    ~TestKey()
    {
        BCryptDestroyKey(Key);
        BCryptCloseAlgorithmProvider(Provider, 0);
    }
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    static std::wstring Base64(const std::vector<unsigned char>& bytes)
    {
        static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::wstring text;
        for (size_t i = 0; i < bytes.size(); i += 3) {
            const unsigned n = (bytes[i] << 16) | ((i + 1 < bytes.size() ? bytes[i + 1] : 0) << 8) |
                               (i + 2 < bytes.size() ? bytes[i + 2] : 0);
            for (size_t j = 0; j < 4; ++j) {
                text += j <= (bytes.size() - i) ? static_cast<wchar_t>(kAlphabet[(n >> (18 - 6 * j)) & 63]) : L'=';
            }
        }
        return text;
    }

    // The text followed by its signature line.
    std::string Sign(const std::string& text) const
    {
        std::vector<unsigned char> digest;
        EXPECT_TRUE(HashBytes(BCRYPT_SHA256_ALGORITHM, reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest));
        std::vector<unsigned char> signature(64);
        ULONG size = 0;
        BCryptSignHash(Key, nullptr, digest.data(), static_cast<ULONG>(digest.size()), signature.data(), 64, &size, 0);
        const std::wstring line = Base64(signature);
        return text + "signature=" + std::string(line.begin(), line.end()) + "\n";
    }
};

ByteBuffer Bytes(const std::string& text)
{
    return ByteBuffer(text.begin(), text.end());
}

// 2026-12-09T12:00:00Z
constexpr long long kNow = 1796817600;

const std::wstring kOrigin = OfficialUrl(L"/updates/tavro-update.txt");

std::string Fields(const std::string& expires, const std::string& sequence, const char* eol = "\n",
                   const std::string& origin = Narrow(kOrigin))
{
    return "origin=" + origin + eol + "version=2.1.0" + std::string(eol) + "installerUrl=https://tavro.example/releases/setup.exe" + eol +
           "installerSha256=" + std::string(64, 'a') + eol + "expires=" + expires + eol + "sequence=" + sequence +
           eol + "installersize=300000" + eol;
}

TEST(VerifyManifest, EachCheckNamesItsFault)
{
    const TestKey current;
    const TestKey next;
    const TestKey stranger;
    const std::vector<std::wstring> keys = {current.SpkiBase64, next.SpkiBase64};
    const ManifestRules rules = {kNow, 90, 7, 1048576, kOrigin};
    const std::string good = Fields("2027-01-01T00:00:00Z", "7");
    std::string changed = current.Sign(good);
    changed[3] ^= 1;
    const auto withSize = [&good](const std::string& size) {
        return good.substr(0, good.find("installersize=")) + "installersize=" + size + "\n";
    };
    struct Row {
        const char* name;
        std::string bytes;
        ManifestVerdict verdict;
        std::wstring fault;  // empty: verified
    };
    const Row rows[] = {
        {"verifies", current.Sign(good), ManifestVerdict::Verified, L""},
        {"signed by the next key", next.Sign(good), ManifestVerdict::Verified, L""},
        {"CR LF lines", current.Sign(Fields("2027-01-01T00:00:00Z", "8", "\r\n")), ManifestVerdict::Verified, L""},
        {"blank lines after the signature", current.Sign(good) + "\r\n\n  \n", ManifestVerdict::Verified, L""},
        {"a BOM before the signed bytes", "\xEF\xBB\xBF" + current.Sign(good), ManifestVerdict::Refused,
         L"a signature that none of the build's 2 keys verifies"},
        {"one byte changed", changed, ManifestVerdict::Refused, L"a signature that none of the build's 2 keys verifies"},
        {"an unknown key", stranger.Sign(good), ManifestVerdict::Refused,
         L"a signature that none of the build's 2 keys verifies"},
        {"a line after the signature", current.Sign(good) + "version=6.6.6\n", ManifestVerdict::Refused,
         L"no \"signature=\" line last"},
        {"no signature", good, ManifestVerdict::Refused, L"no \"signature=\" line last"},
        {"a short signature", good + "signature=AAAA\n", ManifestVerdict::Refused,
         L"a signature line that is not base64 of 64 bytes"},
        {"expired", current.Sign(Fields("2026-12-01T00:00:00Z", "7")), ManifestVerdict::Expired,
         L"expires 2026-12-01T00:00:00Z, 8 days ago by this computer's clock"},
        {"at the limit ahead", current.Sign(Fields("2027-03-09T12:00:00Z", "7")), ManifestVerdict::Verified, L""},
        {"too far ahead", current.Sign(Fields("2027-03-09T12:00:01Z", "7")), ManifestVerdict::Refused,
         L"expires 2027-03-09T12:00:01Z, more than 90 days ahead"},
        {"not UTC", current.Sign(Fields("2027-01-01T00:00:00+01:00", "7")), ManifestVerdict::Refused,
         L"expires \"2027-01-01T00:00:00+01:00\", not a UTC time"},
        {"sequence below the floor", current.Sign(Fields("2027-01-01T00:00:00Z", "6")), ManifestVerdict::Refused,
         L"sequence 6 below 7, the highest this installer accepted or was built with"},
        {"sequence zero", current.Sign(Fields("2027-01-01T00:00:00Z", "0")), ManifestVerdict::Refused,
         L"sequence \"0\", not a positive number"},
        {"no installersize", current.Sign(good.substr(0, good.find("installersize"))), ManifestVerdict::Refused,
         L"no installersize"},
        {"installersize 0", current.Sign(withSize("0")), ManifestVerdict::Refused,
         L"installersize 0, an empty installer"},
        {"installersize at the ceiling", current.Sign(withSize("1048576")), ManifestVerdict::Verified, L""},
        {"installersize past the ceiling", current.Sign(withSize("1048577")), ManifestVerdict::Refused,
         L"installersize 1048577, above the ceiling of 1048576 bytes"},
        {"no origin line", current.Sign(good.substr(good.find('\n') + 1)), ManifestVerdict::Refused,
         L"no \"origin=\" line first"},
        {"origin not first", current.Sign("\n" + good), ManifestVerdict::Refused, L"no \"origin=\" line first"},
        {"another origin", current.Sign(Fields("2027-01-01T00:00:00Z", "7", "\n", "https://beta.example/u.txt")),
         ManifestVerdict::Refused, L"origin \"https://beta.example/u.txt\", not " + kOrigin},
        {"the origin in capitals",
         current.Sign(Fields("2027-01-01T00:00:00Z", "7", "\n", Narrow(UpperAscii(kOrigin)))),
         ManifestVerdict::Refused, L"origin \"" + UpperAscii(kOrigin) + L"\", not " + kOrigin},
        {"a key given twice", current.Sign(good + "InstallerURL=https://tavro.example/other.exe\n"),
         ManifestVerdict::Refused, L"key installerurl given twice"},
    };
    for (const Row& row : rows) {
        SignedFields fields;
        std::wstring fault;
        EXPECT_EQ(VerifyManifest(Bytes(row.bytes), keys, rules, fields, fault), row.verdict) << row.name;
        EXPECT_EQ(fault, row.fault) << row.name;
        if (row.fault.empty()) {
            EXPECT_EQ(fields.InstallerSize, row.name == std::string("installersize at the ceiling") ? 1048576u : 300000u)
                << row.name;
            EXPECT_EQ(fields.KeyFingerprint, KeyFingerprint(row.name == std::string("signed by the next key")
                                                                ? next.SpkiBase64
                                                                : current.SpkiBase64))
                << row.name;
            // Only the signed bytes' entries are handed on.
            EXPECT_EQ(fields.Entries.count(L"signature"), 0u) << row.name;
            EXPECT_EQ(fields.Entries.at(L"version"), L"2.1.0") << row.name;
        }
    }
}

// The record of the highest sequence accepted climbs, and binds, only for
// the keys the build carries; whatever the file holds, the manifest is
// judged, and a record that could not be read is logged, never written over.
TEST(CheckSignedManifest, TheRecordClimbsForTheBuildsKeysOnly)
{
    const TestKey current;
    const TestKey next;
    const TestKey retired;
    const std::vector<std::wstring> keys = {current.SpkiBase64, next.SpkiBase64};
    const ManifestRules rules = {kNow, 90, 5, 1048576, kOrigin};
    const std::string mine = Narrow(KeyFingerprint(current.SpkiBase64));
    const std::string nexts = Narrow(KeyFingerprint(next.SpkiBase64));
    const std::string unread = "The manifest sequence record could not be read: ";
    struct Row {
        const char* name;
        std::string before;  // the record; empty: none
        bool held;           // open in another program, unshared
        const char* sequence;
        ManifestVerdict verdict;
        std::string after;   // the record afterwards; empty: none
        std::string logged;  // the log line, with PATH for the record's path
    };
    const Row rows[] = {
        {"no record", "", false, "7", ManifestVerdict::Verified, "7 " + mine + "\r\n", ""},
        {"a higher record", "9 " + mine + "\r\n", false, "7", ManifestVerdict::Refused, "9 " + mine + "\r\n", ""},
        {"a lower record", "6 " + mine + "\r\n", false, "7", ManifestVerdict::Verified, "7 " + mine + "\r\n", ""},
        {"a higher record of the next key", "9 " + nexts + "\r\n", false, "7", ManifestVerdict::Refused,
         "9 " + nexts + "\r\n", ""},
        {"a key rotated out", "9999999999999999999 " + Narrow(KeyFingerprint(retired.SpkiBase64)), false, "7",
         ManifestVerdict::Verified, "7 " + mine + "\r\n", ""},
        {"an earlier installer's record", "9\r\n", false, "7", ManifestVerdict::Verified, "7 " + mine + "\r\n", ""},
        {"below the build's floor", "", false, "4", ManifestVerdict::Refused, "", ""},
        {"a corrupt record", "nine\r\n", false, "7", ManifestVerdict::Verified, "7 " + mine + "\r\n",
         unread + "a file of 6 bytes that holds no record reading PATH."},
        {"a huge record", std::string(5000, '9'), false, "7", ManifestVerdict::Verified, "7 " + mine + "\r\n",
         unread + "a file of 5000 bytes that holds no record reading PATH."},
        {"a record held open", "6 " + mine + "\r\n", true, "7", ManifestVerdict::Verified, "6 " + mine + "\r\n",
         unread + "Windows error 32 (sharing violation) reading PATH."},
    };
    for (const Row& row : rows) {
        TestDirectory directory;
        const std::wstring path = directory.Path() + L"\\TAVRO.Installer.sequence";
        if (!row.before.empty()) {
            ASSERT_TRUE(WriteFileBytes(path, Bytes(row.before))) << row.name;
        }
        SignedFields fields;
        std::wstring fault;
        {
            const ScopedFile holder(row.held ? NullIfInvalid(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr,
                                                                          OPEN_EXISTING, 0, nullptr))
                                             : nullptr);
            ASSERT_EQ(holder.IsValid(), row.held) << row.name;
            EXPECT_EQ(CheckSignedManifest(Bytes(current.Sign(Fields("2027-01-01T00:00:00Z", row.sequence))),
                                          directory.Path(), keys, rules, fields, fault),
                      row.verdict)
                << row.name << " " << Narrow(fault);
        }
        EXPECT_TRUE(ReadFileBytes(path) == Bytes(row.after)) << row.name;
        std::string logged = row.logged;
        if (!logged.empty()) {
            logged.replace(logged.find("PATH"), 4, Narrow(path));
        }
        EXPECT_EQ(LogMessages(directory.Path()),
                  logged.empty() ? std::vector<std::string>() : std::vector<std::string>{logged})
            << row.name;
    }
}

struct SignedAttempt {
    const TestKey* Key;
    std::wstring Directory;
    const char* Sequence;
};

DWORD WINAPI CheckOnThread(void* parameter)
{
    const SignedAttempt& attempt = *static_cast<const SignedAttempt*>(parameter);
    SignedFields fields;
    std::wstring fault;
    const ManifestRules rules = {kNow, 90, 1, 1048576, kOrigin};
    CheckSignedManifest(Bytes(attempt.Key->Sign(Fields("2027-01-01T00:00:00Z", attempt.Sequence))),
                        attempt.Directory, {attempt.Key->SpkiBase64}, rules, fields, fault);
    return 0;
}

// Two attempts at once, one served 12 and one 11: whichever reads first,
// the record ends at 12.
TEST(CheckSignedManifest, TwoAttemptsAtOnceNeverLowerTheRecord)
{
    const TestKey current;
    for (int round = 0; round < 10; ++round) {
        TestDirectory directory;
        SignedAttempt attempts[] = {{&current, directory.Path(), "12"}, {&current, directory.Path(), "11"}};
        HANDLE threads[2] = {};
        for (int i = 0; i < 2; ++i) {
            threads[i] = CreateThread(nullptr, 0, CheckOnThread, &attempts[i], 0, nullptr);
            ASSERT_NE(threads[i], nullptr);
        }
        WaitForMultipleObjects(2, threads, TRUE, INFINITE);
        CloseHandle(threads[0]);
        CloseHandle(threads[1]);
        EXPECT_TRUE(ReadFileBytes(directory.Path() + L"\\TAVRO.Installer.sequence") ==
                    Bytes("12 " + Narrow(KeyFingerprint(current.SpkiBase64)) + "\r\n"))
            << "round " << round;
    }
}

TEST(DecodeBase64, StrictForm)
{
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(DecodeBase64(L"aGk=", bytes));
    EXPECT_EQ(bytes, (std::vector<unsigned char>{'h', 'i'}));
    for (const wchar_t* text : {L"aGk", L"aG k", L"aGl=", L"a=Gk", L"aGk=\n", L"====", L""}) {
        EXPECT_FALSE(DecodeBase64(text, bytes)) << std::string(text, text + wcslen(text));
    }
}

}  // namespace
