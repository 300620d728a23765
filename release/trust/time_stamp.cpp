#include "release/trust/time_stamp.h"

#include <bcrypt.h>

#include <cstring>

#include "release/trust/certificate_chain.h"
#include "release/trust/certificate_handles.h"
#include "release/trust/package_verification.h"

namespace {

// The part of a DER text still to be read.
struct Der {
    const BYTE* At;
    const BYTE* End;
};

// Reads one element with this tag; `content` is what it holds.
bool ReadElement(Der& der, BYTE tag, Der& content)
{
    if (der.End - der.At < 2 || der.At[0] != tag) {
        return false;
    }
    const BYTE* at = der.At + 1;
    size_t length = *at++;
    if ((length & 0x80) != 0) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || static_cast<size_t>(der.End - at) < count) {
            return false;
        }
        length = 0;
        for (size_t i = 0; i < count; ++i) {
            length = (length << 8) | *at++;
        }
    }
    if (static_cast<size_t>(der.End - at) < length) {
        return false;
    }
    content = {at, at + length};
    der.At = at + length;
    return true;
}

bool OidText(const Der& oid, std::string& text)
{
    if (oid.At == oid.End || (oid.End[-1] & 0x80) != 0) {
        return false;
    }
    text.clear();
    unsigned long long arc = 0;
    for (const BYTE* at = oid.At; at < oid.End; ++at) {
        if (arc > (~0ULL >> 7)) {
            return false;
        }
        arc = (arc << 7) | (*at & 0x7F);
        if ((*at & 0x80) != 0) {
            continue;
        }
        if (text.empty()) {
            const unsigned long long first = arc < 80 ? arc / 40 : 2;
            text = std::to_string(first) + "." + std::to_string(arc - first * 40);
        } else {
            text += "." + std::to_string(arc);
        }
        arc = 0;
    }
    return true;
}

bool Digits(const BYTE* at, int count, WORD& value)
{
    value = 0;
    for (int i = 0; i < count; ++i) {
        if (at[i] < '0' || at[i] > '9') {
            return false;
        }
        value = static_cast<WORD>(value * 10 + (at[i] - '0'));
    }
    return true;
}

// GeneralizedTime in UTC: "YYYYMMDDhhmmss", an optional fraction, "Z".
bool GeneralizedTime(const Der& text, FILETIME& time)
{
    const size_t size = static_cast<size_t>(text.End - text.At);
    if (size < 15 || text.End[-1] != 'Z') {
        return false;
    }
    SYSTEMTIME utc = {};
    if (!Digits(text.At, 4, utc.wYear) || !Digits(text.At + 4, 2, utc.wMonth) || !Digits(text.At + 6, 2, utc.wDay) ||
        !Digits(text.At + 8, 2, utc.wHour) || !Digits(text.At + 10, 2, utc.wMinute) ||
        !Digits(text.At + 12, 2, utc.wSecond)) {
        return false;
    }
    if (size > 15) {
        WORD digit = 0;
        if (text.At[14] != '.' || size == 16) {
            return false;
        }
        for (size_t i = 15; i < size - 1; ++i) {
            if (!Digits(text.At + i, 1, digit)) {
                return false;
            }
            if (i < 18) {
                utc.wMilliseconds = static_cast<WORD>(utc.wMilliseconds * 10 + digit);
            }
        }
        for (size_t i = size - 1; i < 18; ++i) {
            utc.wMilliseconds = static_cast<WORD>(utc.wMilliseconds * 10);
        }
    }
    return SystemTimeToFileTime(&utc, &time) != FALSE;
}

bool HashWithOid(const std::string& oid, const BYTE* data, DWORD size, std::vector<BYTE>& digest)
{
    const wchar_t* algorithm = HashAlgorithmForOid(oid);
    return algorithm != nullptr && HashBytes(algorithm, data, size, digest);
}

bool SameBytes(const std::vector<BYTE>& a, const BYTE* b, DWORD size)
{
    return a.size() == size && size != 0 && std::memcmp(a.data(), b, size) == 0;
}

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kTimeStampInfoType[] = "1.2.840.113549.1.9.16.1.4";  // id-ct-TSTInfo

bool MessageParam(HCRYPTMSG message, DWORD param, std::vector<BYTE>& value)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(message, param, 0, nullptr, &size)) {
        return false;
    }
    value.assign(size, 0);
    return CryptMsgGetParam(message, param, 0, value.data(), &size) != FALSE;
}

const CRYPT_ATTRIBUTE* FindAttribute(const CRYPT_ATTRIBUTES& attributes, const char* oid)
{
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        if (std::strcmp(attributes.rgAttr[i].pszObjId, oid) == 0 && attributes.rgAttr[i].cValue > 0) {
            return &attributes.rgAttr[i];
        }
    }
    return nullptr;
}

// The token's messageDigest attribute is the hash of its TSTInfo.
bool DigestMatches(const CMSG_SIGNER_INFO& tokenSigner, const std::vector<BYTE>& content)
{
    const CRYPT_ATTRIBUTE* digest = FindAttribute(tokenSigner.AuthAttrs, szOID_PKCS_9_MESSAGE_DIGEST);
    Der value = {};
    if (digest == nullptr) {
        return false;
    }
    Der encoded = {digest->rgValue[0].pbData, digest->rgValue[0].pbData + digest->rgValue[0].cbData};
    std::vector<BYTE> computed;
    return ReadElement(encoded, 0x04, value) &&
           HashWithOid(tokenSigner.HashAlgorithm.pszObjId, content.data(), static_cast<DWORD>(content.size()),
                     computed) &&
           SameBytes(computed, value.At, static_cast<DWORD>(value.End - value.At));
}

}  // namespace

bool ParseTimeStampInfo(const BYTE* der, size_t size, TimeStampInfo& info)
{
    Der all = {der, der + size};
    Der tst = {};
    Der version = {};
    Der policy = {};
    Der imprint = {};
    Der algorithm = {};
    Der oid = {};
    Der hashed = {};
    Der serial = {};
    Der time = {};
    if (!ReadElement(all, 0x30, tst) || !ReadElement(tst, 0x02, version) || !ReadElement(tst, 0x06, policy) ||
        !ReadElement(tst, 0x30, imprint) || !ReadElement(imprint, 0x30, algorithm) ||
        !ReadElement(algorithm, 0x06, oid) || !ReadElement(imprint, 0x04, hashed) ||
        !ReadElement(tst, 0x02, serial) || !ReadElement(tst, 0x18, time)) {
        return false;
    }
    TimeStampInfo read;
    if (version.End - version.At != 1 || version.At[0] != 1 || !OidText(oid, read.HashAlgorithm) ||
        !GeneralizedTime(time, read.Time)) {
        return false;
    }
    read.HashedMessage.assign(hashed.At, hashed.End);
    info = read;
    return true;
}

bool IsTimeStampingOnly(const CERT_INFO& certificate)
{
    const CERT_EXTENSION* extension =
        CertFindExtension(szOID_ENHANCED_KEY_USAGE, certificate.cExtension, certificate.rgExtension);
    if (extension == nullptr || !extension->fCritical) {
        return false;
    }
    DWORD size = 0;
    if (!CryptDecodeObject(kEncoding, X509_ENHANCED_KEY_USAGE, extension->Value.pbData, extension->Value.cbData, 0,
                           nullptr, &size)) {
        return false;
    }
    std::vector<BYTE> decoded(size);
    if (!CryptDecodeObject(kEncoding, X509_ENHANCED_KEY_USAGE, extension->Value.pbData, extension->Value.cbData, 0,
                           decoded.data(), &size)) {
        return false;
    }
    const auto* usage = reinterpret_cast<const CERT_ENHKEY_USAGE*>(decoded.data());
    return usage->cUsageIdentifier == 1 &&
           std::strcmp(usage->rgpszUsageIdentifier[0], szOID_PKIX_KP_TIMESTAMP_SIGNING) == 0;
}

const wchar_t* HashAlgorithmForOid(const std::string& oid)
{
    if (oid == szOID_NIST_sha256) {
        return BCRYPT_SHA256_ALGORITHM;
    }
    if (oid == szOID_NIST_sha384) {
        return BCRYPT_SHA384_ALGORITHM;
    }
    if (oid == szOID_NIST_sha512) {
        return BCRYPT_SHA512_ALGORITHM;
    }
    return nullptr;
}

bool TrustedTimeStampTime(const CMSG_SIGNER_INFO& signer, FILETIME& time)
{
    const CRYPT_ATTRIBUTE* stamp = FindAttribute(signer.UnauthAttrs, szOID_RFC3161_counterSign);
    if (stamp == nullptr) {
        return false;
    }
    ScopedMessage token(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    std::vector<BYTE> contentType;
    std::vector<BYTE> content;
    std::vector<BYTE> signerBytes;
    std::vector<BYTE> signerId;
    if (!token.IsValid() ||
        !CryptMsgUpdate(token.Get(), stamp->rgValue[0].pbData, stamp->rgValue[0].cbData, TRUE) ||
        !MessageParam(token.Get(), CMSG_INNER_CONTENT_TYPE_PARAM, contentType) ||
        std::strcmp(reinterpret_cast<const char*>(contentType.data()), kTimeStampInfoType) != 0 ||
        !MessageParam(token.Get(), CMSG_CONTENT_PARAM, content) ||
        !MessageParam(token.Get(), CMSG_SIGNER_INFO_PARAM, signerBytes) ||
        !MessageParam(token.Get(), CMSG_SIGNER_CERT_INFO_PARAM, signerId)) {
        return false;
    }
    // Some platforms (Wine) hand the content over still wrapped in the
    // OCTET STRING that carries it in the message.
    Der wrapped = {content.data(), content.data() + content.size()};
    Der inner = {};
    if (ReadElement(wrapped, 0x04, inner) && wrapped.At == wrapped.End) {
        content.assign(inner.At, inner.End);
    }
    TimeStampInfo info;
    if (!ParseTimeStampInfo(content.data(), content.size(), info) ||
        !DigestMatches(*reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBytes.data()), content)) {
        return false;
    }
    ScopedStore certificates(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, token.Get()));
    ScopedCertificate authority;
    if (certificates.IsValid()) {
        *authority.Receive() = CertGetSubjectCertificateFromStore(
            certificates.Get(), kEncoding, reinterpret_cast<PCERT_INFO>(signerId.data()));
    }
    // It stamped this signature: the hash of its value.
    std::vector<BYTE> imprint;
    if (!authority.IsValid() ||
        !CryptMsgControl(token.Get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, authority.Get()->pCertInfo) ||
        !IsTimeStampingOnly(*authority.Get()->pCertInfo) ||
        // The authority chains to a trusted root and may stamp time, then.
        ChainErrorsAt(authority.Get(), info.Time, certificates.Get(), szOID_PKIX_KP_TIMESTAMP_SIGNING) != 0 ||
        !HashWithOid(info.HashAlgorithm, signer.EncryptedHash.pbData, signer.EncryptedHash.cbData, imprint) ||
        !SameBytes(imprint, info.HashedMessage.data(), static_cast<DWORD>(info.HashedMessage.size()))) {
        return false;
    }
    time = info.Time;
    return true;
}
