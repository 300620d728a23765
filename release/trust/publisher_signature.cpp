#include "release/trust/publisher_signature.h"

#include <windows.h>
#include <bcrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "release/failure_detail.h"
#include "release/manifest.h"
#include "release/release_messages.h"
#include "release/trust/certificate_chain.h"
#include "release/trust/certificate_handles.h"
#include "release/trust/package_verification.h"
#include "release/trust/time_stamp.h"
#include "release/transfer/transfer_limits.h"

namespace {

std::wstring SignerName(PCCERT_CONTEXT certificate)
{
    const DWORD length = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length <= 1) {
        return std::wstring();
    }
    std::wstring name(length, L'\0');
    CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, &name[0], length);
    name.resize(length - 1);  // the terminating NUL
    return name;
}

}  // namespace

std::vector<std::wstring> CaKeyHashes(const CERT_CHAIN_CONTEXT& chain)
{
    std::vector<std::wstring> hashes;
    // CryptEncodeObjectEx is imported by a pinned build alone.
#ifdef TAVRO_PUBLISHER_CA
    if (chain.cChain == 0) {
        return hashes;
    }
    const CERT_SIMPLE_CHAIN& simple = *chain.rgpChain[0];
    for (DWORD i = 1; i < simple.cElement; ++i) {
        CERT_PUBLIC_KEY_INFO& key = simple.rgpElement[i]->pCertContext->pCertInfo->SubjectPublicKeyInfo;
        BYTE* encoded = nullptr;
        DWORD size = 0;
        std::vector<unsigned char> digest;
        if (CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &key, CRYPT_ENCODE_ALLOC_FLAG, nullptr,
                                &encoded, &size)) {
            if (HashBytes(BCRYPT_SHA256_ALGORITHM, encoded, size, digest)) {
                hashes.push_back(ToLowerHex(digest.data(), digest.size()));
            }
            LocalFree(encoded);
        }
    }
#else
    static_cast<void>(chain);
#endif
    return hashes;
}

namespace {

// The certificates of the chain the verification built, for building it
// again; null when there is none.
HCERTSTORE ChainCertificates(const CERT_CHAIN_CONTEXT& verified)
{
    const HCERTSTORE certificates = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    if (certificates == nullptr || verified.cChain == 0 || verified.rgpChain[0]->cElement == 0) {
        if (certificates != nullptr) {
            CertCloseStore(certificates, 0);
        }
        return nullptr;
    }
    const CERT_SIMPLE_CHAIN& simple = *verified.rgpChain[0];
    for (DWORD i = 0; i < simple.cElement; ++i) {
        CertAddCertificateContextToStore(certificates, simple.rgpElement[i]->pCertContext, CERT_STORE_ADD_ALWAYS,
                                         nullptr);
    }
    return certificates;
}

// The signer's chain, built again as of `time` from the certificates of the
// chain the verification built, for code signing.
DWORD SignerChainErrorsAt(const CERT_CHAIN_CONTEXT& verified, FILETIME time)
{
    const ScopedStore certificates(ChainCertificates(verified));
    if (!certificates.IsValid()) {
        return CERT_TRUST_IS_PARTIAL_CHAIN;
    }
    return ChainErrorsAt(verified.rgpChain[0]->rgpElement[0]->pCertContext, time, certificates.Get(),
                         szOID_PKIX_KP_CODE_SIGNING);
}

// The signer's chain once more, now, asked whether a certificate in it was
// revoked, within the revocation wait of TransferLimits. (WinVerifyTrust is
// not asked: it would ask before anything else is judged, and some
// platforms' (Wine's) does not ask, whatever it is told.)
DWORD SignerRevocationErrors(const CERT_CHAIN_CONTEXT& verified)
{
    const ScopedStore certificates(ChainCertificates(verified));
    if (!certificates.IsValid()) {
        return CERT_TRUST_IS_PARTIAL_CHAIN;
    }
    return ChainErrorsWithRevocation(verified.rgpChain[0]->rgpElement[0]->pCertContext, certificates.Get(),
                                     szOID_PKIX_KP_CODE_SIGNING, kTransferLimits.RevocationWaitMs);
}

// A chain whose only fault is time (an expired certificate) still counts
// when the signature carries a valid time stamp from a time the chain was
// valid at. Windows builds the chain as of the time stamp itself; some
// platforms (Wine) build it as of now, so the time stamp is read here too.
bool SignedWhileValid(const CRYPT_PROVIDER_SGNR& signer)
{
    FILETIME stamped = {};
    return signer.psSigner != nullptr && TrustedTimeStampTime(*signer.psSigner, stamped) &&
           SignerChainErrorsAt(*signer.pChainContext, stamped) == 0;
}

// The facts PublisherSignatureFault judges, from the verified state; the
// time stamp and revocation are read only when it asks.
std::wstring SignerFault(LONG verdict, HANDLE state, const std::wstring& publisher)
{
    SignatureFacts facts;
    facts.Verdict = verdict;
    CRYPT_PROVIDER_DATA* data = WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* signer = data != nullptr ? WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
    if (signer != nullptr && signer->pChainContext != nullptr) {
        facts.HasSigner = true;
        // Some platforms (Wine) let WinVerifyTrust pass a signer under an
        // untrusted root or an expired certificate, so the chain is judged
        // here.
        facts.ChainStatus = signer->pChainContext->TrustStatus.dwErrorStatus;
        CRYPT_PROVIDER_CERT* certificate = WTHelperGetProvCertFromChain(signer, 0);
        if (certificate != nullptr && certificate->pCert != nullptr) {
            facts.SignerName = SignerName(certificate->pCert);
        }
        if (kPublisherCaPin[0] != L'\0') {
            facts.PinHolds = ChainHoldsCa(CaKeyHashes(*signer->pChainContext), kPublisherCaPin);
        }
        facts.SignedWhileValid = [signer] { return SignedWhileValid(*signer); };
        facts.RevocationStatus = [signer] { return SignerRevocationErrors(*signer->pChainContext); };
    }
    return PublisherSignatureFault(facts, publisher);
}

// Asked without revocation, WinVerifyTrust has none to report; should a
// platform check anyway, a status it could not get (no answer from the CA's
// servers in time, no revocation information) is no refusal: the signer's
// own revocation check decides.
bool VerdictPasses(LONG verdict)
{
    const LONG kRevocationFailure = static_cast<LONG>(0x800B010E);  // CERT_E_REVOCATION_FAILURE
    const LONG kRevocationOffline = static_cast<LONG>(0x80092013);  // CRYPT_E_REVOCATION_OFFLINE
    const LONG kNoRevocationCheck = static_cast<LONG>(0x80092012);  // CRYPT_E_NO_REVOCATION_CHECK
    return verdict == 0 || verdict == kRevocationFailure || verdict == kRevocationOffline ||
           verdict == kNoRevocationCheck;
}

}  // namespace

std::wstring PublisherSignatureFault(const SignatureFacts& facts, const std::wstring& publisher)
{
    if (!VerdictPasses(facts.Verdict)) {
        return TrustResultCause(facts.Verdict);
    }
    if (!facts.HasSigner) {
        return L"no signer";
    }
    const DWORD errors = ChainErrorsThatCount(facts.ChainStatus);
    const DWORD timeOnly = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED;
    if (errors != 0 && ((errors & ~timeOnly) != 0 || !facts.SignedWhileValid())) {
        return ChainStatusCause(errors);
    }
    if (!IsRequiredPublisher(facts.SignerName, publisher)) {
        return L"a signature by \"" + TextForLog(facts.SignerName) + L"\"";
    }
    if (!facts.PinHolds) {
        return kPinFault;
    }
    // Last: the revocation check fetches the URLs the certificates name,
    // which only a signer trusted so far may choose.
    if ((facts.RevocationStatus() & CERT_TRUST_IS_REVOKED) != 0) {
        return ChainStatusCause(errors | CERT_TRUST_IS_REVOKED);
    }
    return std::wstring();
}

bool ChainHoldsCa(const std::vector<std::wstring>& caKeyHashes, const std::wstring& pin)
{
    const std::wstring wanted = FoldAsciiCase(pin);
    for (const std::wstring& hash : caKeyHashes) {
        if (hash == wanted) {
            return true;
        }
    }
    return false;
}

bool IsRequiredPublisher(const std::wstring& signerName, const std::wstring& publisher)
{
    return !signerName.empty() && signerName == publisher;
}

bool CheckPublisherSignature(HANDLE file, const std::wstring& path, const std::wstring& publisher, ErrorText& error,
                             std::wstring* cause)
{
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file;
    WINTRUST_DATA trust = {};
    trust.cbStruct = sizeof(trust);
    trust.dwUIChoice = WTD_UI_NONE;
    // No revocation here: it would fetch the URLs a certificate names
    // before anything says the certificate is trusted or the publisher's.
    // PublisherSignatureFault asks for it last (the whole chain but the root:
    // a stolen signing key whose certificate the CA revoked no longer signs
    // for the publisher).
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    // Not cache-only: Windows ships few roots and fetches the others from
    // its own root list as a chain first needs them, as it does for any
    // signed program a user runs. A revocation flag here asks for a check
    // of its own, so it says none too.
    trust.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const HWND noUser = reinterpret_cast<HWND>(INVALID_HANDLE_VALUE);
    const LONG verdict = WinVerifyTrust(noUser, &action, &trust);
    const std::wstring fault = SignerFault(verdict, trust.hWVTStateData, publisher);
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(noUser, &action, &trust);
    if (!fault.empty()) {
        error = PublisherRefusal(publisher);
        if (cause != nullptr) {
            *cause = fault;
        }
        return false;
    }
    return true;
}
