#include "release/trust/manifest_signature.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <bcrypt.h>

#include <string>
#include <vector>

#include "release/trust/package_verification.h"

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

std::string Fields(const std::string& expires, const std::string& sequence, const char* eol = "\n")
{
    return "version=2.1.0" + std::string(eol) + "installerUrl=https://tavro.example/releases/setup.exe" + eol +
           "installerSha256=" + std::string(64, 'a') + eol + "expires=" + expires + eol + "sequence=" + sequence +
           eol + "installersize=300000" + eol;
}

TEST(VerifyManifest, EachCheckNamesItsFault)
{
    const TestKey current;
    const TestKey next;
    const TestKey stranger;
    const std::vector<std::wstring> keys = {current.SpkiBase64, next.SpkiBase64};
    const ManifestRules rules = {kNow, 90, 7};
    const std::string good = Fields("2027-01-01T00:00:00Z", "7");
    std::string changed = current.Sign(good);
    changed[3] ^= 1;
    struct Row {
        const char* name;
        std::string bytes;
        ManifestVerdict verdict;
        const wchar_t* fault;  // null: verified
    };
    const Row rows[] = {
        {"verifies", current.Sign(good), ManifestVerdict::Verified, nullptr},
        {"signed by the next key", next.Sign(good), ManifestVerdict::Verified, nullptr},
        {"CR LF lines", current.Sign(Fields("2027-01-01T00:00:00Z", "8", "\r\n")), ManifestVerdict::Verified, nullptr},
        {"blank lines after the signature", current.Sign(good) + "\r\n\n  \n", ManifestVerdict::Verified, nullptr},
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
        {"too far ahead", current.Sign(Fields("2027-03-10T12:00:01Z", "7")), ManifestVerdict::Refused,
         L"expires 2027-03-10T12:00:01Z, more than 90 days ahead"},
        {"not UTC", current.Sign(Fields("2027-01-01T00:00:00+01:00", "7")), ManifestVerdict::Refused,
         L"expires \"2027-01-01T00:00:00+01:00\", not a UTC time"},
        {"sequence below the floor", current.Sign(Fields("2027-01-01T00:00:00Z", "6")), ManifestVerdict::Refused,
         L"sequence 6 below 7, the highest this installer accepted or was built with"},
        {"sequence zero", current.Sign(Fields("2027-01-01T00:00:00Z", "0")), ManifestVerdict::Refused,
         L"sequence \"0\", not a positive number"},
        {"no installersize", current.Sign(good.substr(0, good.find("installersize"))), ManifestVerdict::Refused,
         L"no installersize"},
    };
    for (const Row& row : rows) {
        SignedFields fields;
        std::wstring fault;
        EXPECT_EQ(VerifyManifest(Bytes(row.bytes), keys, rules, fields, fault), row.verdict) << row.name;
        EXPECT_EQ(fault, row.fault == nullptr ? L"" : row.fault) << row.name;
        if (row.fault == nullptr) {
            EXPECT_EQ(fields.InstallerSize, 300000u) << row.name;
        }
    }
}

TEST(ParseUtcTime, RealTimesInOneForm)
{
    long long seconds = 0;
    ASSERT_TRUE(ParseUtcTime(L"2027-03-01T00:00:00Z", seconds));
    EXPECT_EQ(seconds, 1803859200);
    EXPECT_TRUE(ParseUtcTime(L"2028-02-29T23:59:59Z", seconds));
    for (const wchar_t* text : {L"2027-02-29T00:00:00Z", L"2027-13-01T00:00:00Z", L"2027-03-01T24:00:00Z",
                                L"2027-03-01 00:00:00Z", L"2027-03-01T00:00:00.5Z", L"2027-03-01T00:00:00z",
                                L"1969-12-31T23:59:59Z", L""}) {
        EXPECT_FALSE(ParseUtcTime(text, seconds)) << std::string(text, text + wcslen(text));
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
