#include "release/trust/manifest_signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "platform/scoped_handle.h"
#include "release/build_settings.h"
#include "release/failure_detail.h"
#include "release/trust/package_verification.h"

namespace {

constexpr char kSignaturePrefix[] = "signature=";
constexpr wchar_t kOriginPrefix[] = L"origin=";
constexpr size_t kSignatureBytes = 64;  // r||s of P-256

bool IsBlank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void CloseKey(BCRYPT_KEY_HANDLE key)
{
    BCryptDestroyKey(key);
}

void CloseProvider(BCRYPT_ALG_HANDLE provider)
{
    BCryptCloseAlgorithmProvider(provider, 0);
}

using ScopedKey = ScopedHandle<BCRYPT_KEY_HANDLE, CloseKey>;
using ScopedProvider = ScopedHandle<BCRYPT_ALG_HANDLE, CloseProvider>;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long long DaysFromCivil(long long year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

bool ReadNumber(const std::wstring& text, size_t at, size_t digits, unsigned& value)
{
    value = 0;
    for (size_t i = at; i < at + digits; ++i) {
        if (text[i] < L'0' || text[i] > L'9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(text[i] - L'0');
    }
    return true;
}

// A positive decimal number of at most 19 digits, nothing else.
bool ParsePositive(const std::wstring& text, unsigned long long& value, bool zeroAllowed)
{
    if (text.empty() || text.size() > 19) {
        return false;
    }
    value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long long>(c - L'0');
    }
    return zeroAllowed || value != 0;
}

const std::wstring* Find(const ReleaseManifest& manifest, const wchar_t* key)
{
    const auto entry = manifest.find(key);
    return entry == manifest.end() ? nullptr : &entry->second;
}

std::wstring Quoted(const std::wstring& value)
{
    return L"\"" + TextForLog(value) + L"\"";
}

}  // namespace

long long NowUtcSeconds()
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    // FILETIME counts 100 ns from 1601.
    return static_cast<long long>(ticks / 10000000ULL) - 11644473600LL;
}

std::vector<std::wstring> ManifestKeys()
{
    std::vector<std::wstring> keys;
    const std::wstring all = kManifestKeysText;
    for (size_t start = 0; start < all.size();) {
        const size_t end = all.find(L' ', start);
        keys.push_back(all.substr(start, end - start));
        start = end == std::wstring::npos ? all.size() : end + 1;
    }
    return keys;
}

bool DecodeBase64(const std::wstring& text, std::vector<unsigned char>& bytes)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.empty() || text.size() % 4 != 0) {
        return false;
    }
    std::vector<unsigned char> out;
    unsigned value = 0;
    int bits = 0;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'=') {
            // Only the last one or two, and only where they fill a quantum.
            if (i + 2 < text.size()) {
                return false;
            }
            ++padding;
            continue;
        }
        const char* found = c > 0 && c < 0x80 ? std::strchr(kAlphabet, static_cast<char>(c)) : nullptr;
        if (found == nullptr || *found == '\0' || padding != 0) {
            return false;
        }
        value = (value << 6) | static_cast<unsigned>(found - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<unsigned char>((value >> bits) & 0xFF));
        }
    }
    // The bits left over must be zero: one text for one set of bytes.
    if (padding > 2 || (value & ((1u << bits) - 1)) != 0) {
        return false;
    }
    bytes = out;
    return true;
}

bool SplitSignedManifest(const ByteBuffer& bytes, size_t& signedLength, std::vector<unsigned char>& signature,
                         std::wstring& fault)
{
    size_t end = bytes.size();
    while (end > 0 && IsBlank(bytes[end - 1])) {
        --end;
    }
    size_t lineStart = end;
    while (lineStart > 0 && bytes[lineStart - 1] != '\n') {
        --lineStart;
    }
    const size_t prefix = sizeof(kSignaturePrefix) - 1;
    if (end - lineStart < prefix || std::memcmp(&bytes[lineStart], kSignaturePrefix, prefix) != 0) {
        fault = L"no \"signature=\" line last";
        return false;
    }
    const std::wstring value(bytes.begin() + static_cast<std::ptrdiff_t>(lineStart + prefix),
                             bytes.begin() + static_cast<std::ptrdiff_t>(end));
    std::vector<unsigned char> decoded;
    if (!DecodeBase64(value, decoded) || decoded.size() != kSignatureBytes) {
        fault = L"a signature line that is not base64 of 64 bytes";
        return false;
    }
    signedLength = lineStart;
    signature = decoded;
    return true;
}

bool P256PointOfSpki(const std::vector<unsigned char>& spki, std::vector<unsigned char>& point)
{
    // SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING { 04 X Y } }
    static const unsigned char kPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                            0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                            0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
    if (spki.size() != sizeof(kPrefix) + 64 || std::memcmp(spki.data(), kPrefix, sizeof(kPrefix)) != 0) {
        return false;
    }
    point.assign(spki.begin() + sizeof(kPrefix), spki.end());
    return true;
}

bool VerifyP256Signature(const std::vector<unsigned char>& point, const unsigned char* data, size_t size,
                         const std::vector<unsigned char>& signature)
{
    std::vector<unsigned char> digest;
    if (point.size() != 64 || signature.size() != kSignatureBytes ||
        !HashBytes(BCRYPT_SHA256_ALGORITHM, data, size, digest)) {
        return false;
    }
    // BCRYPT_ECCKEY_BLOB, then X and Y.
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + point.size());
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), point.data(), point.size());
    ScopedProvider provider;
    ScopedKey key;
    return BCryptOpenAlgorithmProvider(provider.Receive(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0 &&
           BCryptImportKeyPair(provider.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.Receive(), blob.data(),
                               static_cast<ULONG>(blob.size()), 0) == 0 &&
           BCryptVerifySignature(key.Get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                 const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()),
                                 0) == 0;
}

bool ParseUtcTime(const std::wstring& text, long long& seconds)
{
    // YYYY-MM-DDTHH:MM:SSZ
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (text.size() != 20 || text[4] != L'-' || text[7] != L'-' || text[10] != L'T' || text[13] != L':' ||
        text[16] != L':' || text[19] != L'Z' || !ReadNumber(text, 0, 4, year) || !ReadNumber(text, 5, 2, month) ||
        !ReadNumber(text, 8, 2, day) || !ReadNumber(text, 11, 2, hour) || !ReadNumber(text, 14, 2, minute) ||
        !ReadNumber(text, 17, 2, second)) {
        return false;
    }
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1970 || month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

std::wstring KeyFingerprint(const std::wstring& keyBase64)
{
    std::vector<unsigned char> spki;
    std::vector<unsigned char> digest;
    if (!DecodeBase64(keyBase64, spki) || !HashBytes(BCRYPT_SHA256_ALGORITHM, spki.data(), spki.size(), digest)) {
        return std::wstring();
    }
    return ToLowerHex(digest.data(), digest.size());
}

ManifestVerdict VerifyManifest(const ByteBuffer& bytes, const std::vector<std::wstring>& keys,
                               const ManifestRules& rules, SignedFields& fields, std::wstring& fault)
{
    size_t signedLength = 0;
    std::vector<unsigned char> signature;
    if (!SplitSignedManifest(bytes, signedLength, signature, fault)) {
        return ManifestVerdict::Refused;
    }
    SignedFields read;
    for (const std::wstring& key : keys) {
        std::vector<unsigned char> spki;
        std::vector<unsigned char> point;
        if (DecodeBase64(key, spki) && P256PointOfSpki(spki, point) &&
            VerifyP256Signature(point, bytes.data(), signedLength, signature)) {
            read.KeyFingerprint = KeyFingerprint(key);
            break;
        }
    }
    if (read.KeyFingerprint.empty()) {
        fault = L"a signature that none of the build's " + std::to_wstring(keys.size()) + L" keys verifies";
        return ManifestVerdict::Refused;
    }
    // From here on only the signed bytes are read.
    const std::wstring text =
        Utf8ToWide(ByteBuffer(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(signedLength)));
    std::wstring firstLine = text.substr(0, text.find(L'\n'));
    if (!firstLine.empty() && firstLine.back() == L'\r') {
        firstLine.pop_back();
    }
    const size_t prefixLength = wcslen(kOriginPrefix);
    if (firstLine.compare(0, prefixLength, kOriginPrefix) != 0) {
        fault = L"no \"origin=\" line first";
        return ManifestVerdict::Refused;
    }
    // A manifest signed for another place (a rehearsal, a beta, another
    // path) would otherwise serve here, its own sequence with it.
    const std::wstring origin = firstLine.substr(prefixLength);
    if (origin != rules.Origin) {
        fault = L"origin \"" + UrlForLog(origin, kLongestTextForLog) + L"\", not " + rules.Origin;
        return ManifestVerdict::Refused;
    }
    std::wstring repeated;
    read.Entries = ParseReleaseManifest(text, &repeated);
    // Two values for one key: which one a reader takes is not the signer's
    // to leave open.
    if (!repeated.empty()) {
        fault = L"key " + TextForLog(repeated) + L" given twice";
        return ManifestVerdict::Refused;
    }
    const std::wstring* expires = Find(read.Entries, L"expires");
    const std::wstring* sequence = Find(read.Entries, L"sequence");
    const std::wstring* size = Find(read.Entries, L"installersize");
    if (expires == nullptr || !ParseUtcTime(*expires, read.ExpiresSeconds)) {
        fault = expires == nullptr ? L"no expires" : L"expires " + Quoted(*expires) + L", not a UTC time";
        return ManifestVerdict::Refused;
    }
    if (read.ExpiresSeconds - rules.NowSeconds > rules.MaxDaysAhead * 86400) {
        fault = L"expires " + *expires + L", more than " + std::to_wstring(rules.MaxDaysAhead) + L" days ahead";
        return ManifestVerdict::Refused;
    }
    if (sequence == nullptr || !ParsePositive(*sequence, read.Sequence, false)) {
        fault = sequence == nullptr ? L"no sequence" : L"sequence " + Quoted(*sequence) + L", not a positive number";
        return ManifestVerdict::Refused;
    }
    if (read.Sequence < rules.MinSequence) {
        fault = L"sequence " + *sequence + L" below " + std::to_wstring(rules.MinSequence) +
                L", the highest this installer accepted or was built with";
        return ManifestVerdict::Refused;
    }
    if (size == nullptr || !ParsePositive(*size, read.InstallerSize, true)) {
        fault = size == nullptr ? L"no installersize" : L"installersize " + Quoted(*size) + L", not a number";
        return ManifestVerdict::Refused;
    }
    // The download is held to this size: 0 would mean no length at all, and
    // a size past the ceiling would let a body through that no announced
    // length could.
    if (read.InstallerSize == 0) {
        fault = L"installersize 0, an empty installer";
        return ManifestVerdict::Refused;
    }
    if (read.InstallerSize > rules.MaxInstallerSize) {
        fault = L"installersize " + *size + L", above the ceiling of " + std::to_wstring(rules.MaxInstallerSize) +
                L" bytes";
        return ManifestVerdict::Refused;
    }
    if (read.ExpiresSeconds <= rules.NowSeconds) {
        fault = L"expires " + *expires + L", " + std::to_wstring((rules.NowSeconds - read.ExpiresSeconds) / 86400) +
                L" days ago by this computer's clock";
        return ManifestVerdict::Expired;
    }
    fields = read;
    return ManifestVerdict::Verified;
}
