#include "release/trust/publisher_signature.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "release/failure_detail.h"
#include "release/release_messages.h"
#include "release/trust/certificate_chain.h"
#include "release/trust/certificate_handles.h"
#include "release/trust/time_stamp.h"

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

// The signer's chain, built again as of `time` from the certificates of the
// chain the verification built, for code signing.
DWORD SignerChainErrorsAt(const CERT_CHAIN_CONTEXT& verified, FILETIME time)
{
    const ScopedStore certificates(
        CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!certificates.IsValid() || verified.cChain == 0 || verified.rgpChain[0]->cElement == 0) {
        return CERT_TRUST_IS_PARTIAL_CHAIN;
    }
    const CERT_SIMPLE_CHAIN& simple = *verified.rgpChain[0];
    for (DWORD i = 0; i < simple.cElement; ++i) {
        CertAddCertificateContextToStore(certificates.Get(), simple.rgpElement[i]->pCertContext,
                                         CERT_STORE_ADD_ALWAYS, nullptr);
    }
    return ChainErrorsAt(simple.rgpElement[0]->pCertContext, time, certificates.Get(), szOID_PKIX_KP_CODE_SIGNING);
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

// The signer of the verified state is the publisher and may be trusted: its
// chain (built by the same verification) has no error that counts, or only
// time with a time stamp that covers it, and its name is the publisher's.
// Some platforms (Wine) let WinVerifyTrust pass a signer under an untrusted
// root or an expired certificate, so the chain is judged here. Returns what
// is wrong with the signer, or nothing.
std::wstring SignerFault(HANDLE state, const std::wstring& publisher)
{
    CRYPT_PROVIDER_DATA* data = WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* signer = data != nullptr ? WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
    if (signer == nullptr || signer->pChainContext == nullptr) {
        return L"no signer";
    }
    const DWORD errors = ChainErrorsThatCount(signer->pChainContext->TrustStatus.dwErrorStatus);
    const DWORD timeOnly = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED;
    if (errors != 0 && ((errors & ~timeOnly) != 0 || !SignedWhileValid(*signer))) {
        return ChainStatusCause(errors);
    }
    CRYPT_PROVIDER_CERT* certificate = WTHelperGetProvCertFromChain(signer, 0);
    const std::wstring name =
        certificate != nullptr && certificate->pCert != nullptr ? SignerName(certificate->pCert) : std::wstring();
    if (!IsRequiredPublisher(name, publisher)) {
        return L"a signature by \"" + TextForLog(name) + L"\"";
    }
    return std::wstring();
}

}  // namespace

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
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    // Not cache-only: Windows ships few roots and fetches the others from
    // its own root list as a chain first needs them, as it does for any
    // signed program a user runs.
    trust.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const HWND noUser = reinterpret_cast<HWND>(INVALID_HANDLE_VALUE);
    const LONG verdict = WinVerifyTrust(noUser, &action, &trust);
    const std::wstring fault = verdict != 0 ? TrustResultCause(verdict) : SignerFault(trust.hWVTStateData, publisher);
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
