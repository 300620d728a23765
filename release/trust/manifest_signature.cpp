#include "release/trust/manifest_signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "platform/scoped_handle.h"
#include "release/build_settings.h"
#include "release/failure_detail.h"
#include "release/trust/package_verification.h"

namespace {

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

std::wstring Quoted(const std::wstring& value)
{
    return L"\"" + TextForLog(value) + L"\"";
}

// "name=", the start of a line that gives the field.
std::wstring LinePrefix(const wchar_t* name)
{
    return std::wstring(name) + L"=";
}

// One signed field's value against the build's rules; what it says goes to
// `read`. The origin and the signature are lines of their own, checked
// before it; an expiry that has passed is judged after every field.
bool CheckSignedValue(const ManifestField& field, const ManifestRules& rules, SignedFields& read,
                      std::wstring& fault)
{
    if (field.Rule == FieldRule::Origin || field.Rule == FieldRule::Signature) {
        return true;
    }
    const std::wstring name = field.Name;
    const std::wstring* value = FieldValue(read.Entries, field.Name);
    if (value == nullptr || !IsWellFormed(*value, field.Rule)) {
        fault = value == nullptr ? L"no " + name
                                 : name + L" " + Quoted(*value) + L", " + MalformedCause(field.Rule);
        return false;
    }
    switch (field.Rule) {
    case FieldRule::UtcTime:
        ParseUtcTime(*value, read.ExpiresSeconds);
        if (read.ExpiresSeconds - rules.NowSeconds > rules.MaxDaysAhead * 86400) {
            fault = name + L" " + *value + L", more than " + std::to_wstring(rules.MaxDaysAhead) + L" days ahead";
            return false;
        }
        return true;
    case FieldRule::Sequence:
        ParseDecimal(*value, read.Sequence);
        if (read.Sequence < rules.MinSequence) {
            fault = name + L" " + *value + L" below " + std::to_wstring(rules.MinSequence) +
                    L", the highest this installer accepted or was built with";
            return false;
        }
        return true;
    case FieldRule::Size:
        ParseDecimal(*value, read.InstallerSize);
        // The download is held to this size: 0 would mean no length at all,
        // and a size past the ceiling would let a body through that no
        // announced length could.
        if (read.InstallerSize == 0) {
            fault = name + L" 0, an empty installer";
            return false;
        }
        if (read.InstallerSize > rules.MaxInstallerSize) {
            fault = name + L" " + *value + L", above the ceiling of " + std::to_wstring(rules.MaxInstallerSize) +
                    L" bytes";
            return false;
        }
        return true;
    default:
        return true;
    }
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
    return SettingWords(std::wstring(kManifestKeysText));
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
    const std::wstring wide = LinePrefix(kSignatureField);
    const std::string signaturePrefix(wide.begin(), wide.end());  // ASCII
    const size_t prefix = signaturePrefix.size();
    if (end - lineStart < prefix || std::memcmp(&bytes[lineStart], signaturePrefix.data(), prefix) != 0) {
        fault = L"no \"" + wide + L"\" line last";
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
    const std::wstring originPrefix = LinePrefix(kOriginField);
    const size_t prefixLength = originPrefix.size();
    if (firstLine.compare(0, prefixLength, originPrefix) != 0) {
        fault = L"no \"" + originPrefix + L"\" line first";
        return ManifestVerdict::Refused;
    }
    // A manifest signed for another place (a rehearsal, a beta, another
    // path) would otherwise serve here, its own sequence with it.
    const std::wstring origin = firstLine.substr(prefixLength);
    if (origin != rules.Origin) {
        fault = std::wstring(kOriginField) + L" \"" + UrlForLog(origin, kLongestTextForLog) + L"\", not " + rules.Origin;
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
    // Each signed field, in the table's order.
    for (const ManifestField& field : kManifestFields) {
        if (field.SignedOnly && !CheckSignedValue(field, rules, read, fault)) {
            return ManifestVerdict::Refused;
        }
    }
    if (read.ExpiresSeconds <= rules.NowSeconds) {
        fault = std::wstring(kExpiresField) + L" " + *FieldValue(read.Entries, kExpiresField) + L", " +
                std::to_wstring((rules.NowSeconds - read.ExpiresSeconds) / 86400) + L" days ago by this computer's clock";
        return ManifestVerdict::Expired;
    }
    fields = read;
    return ManifestVerdict::Verified;
}
