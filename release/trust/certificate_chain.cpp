// CERT_CHAIN_PARA with its time-out for URL retrievals.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "release/trust/certificate_chain.h"

#include <string>

#include "release/trust/certificate_handles.h"

DWORD ChainErrorsThatCount(DWORD chainErrorStatus)
{
    return chainErrorStatus & ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                                  CERT_TRUST_IS_OFFLINE_REVOCATION);
}

namespace {

DWORD ChainErrors(PCCERT_CONTEXT certificate, FILETIME* time, HCERTSTORE extra, const char* usageOid, DWORD flags,
                  DWORD waitMs)
{
    std::string usage(usageOid);
    LPSTR usages[] = {&usage[0]};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    para.dwUrlRetrievalTimeout = waitMs;
    ScopedChain chain;
    if (!CertGetCertificateChain(nullptr, certificate, time, extra, &para, flags, nullptr, chain.Receive())) {
        return CERT_TRUST_IS_PARTIAL_CHAIN;
    }
    return ChainErrorsThatCount(chain.Get()->TrustStatus.dwErrorStatus);
}

}  // namespace

DWORD ChainErrorsAt(PCCERT_CONTEXT certificate, FILETIME time, HCERTSTORE extra, const char* usageOid)
{
    // Only what the verification already brought in: a certificate not yet
    // trusted must not send the check to URLs it names.
    const DWORD cacheOnly =
        CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AIA | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;
    return ChainErrors(certificate, &time, extra, usageOid, cacheOnly, 0);
}

DWORD ChainErrorsWithRevocation(PCCERT_CONTEXT certificate, HCERTSTORE extra, const char* usageOid, DWORD waitMs)
{
    return ChainErrors(certificate, nullptr, extra, usageOid,
                       CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT,
                       waitMs);
}
