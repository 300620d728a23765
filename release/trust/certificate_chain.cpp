#include "release/trust/certificate_chain.h"

#include <string>

#include "release/trust/certificate_handles.h"

DWORD ChainErrorsThatCount(DWORD chainErrorStatus)
{
    return chainErrorStatus & ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                                  CERT_TRUST_IS_OFFLINE_REVOCATION);
}

DWORD ChainErrorsAt(PCCERT_CONTEXT certificate, FILETIME time, HCERTSTORE extra, const char* usageOid)
{
    std::string usage(usageOid);
    LPSTR usages[] = {&usage[0]};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    // Only what the verification already brought in: a certificate not yet
    // trusted must not send the check to URLs it names.
    const DWORD cacheOnly =
        CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AIA | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;
    ScopedChain chain;
    if (!CertGetCertificateChain(nullptr, certificate, &time, extra, &para, cacheOnly, nullptr, chain.Receive())) {
        return CERT_TRUST_IS_PARTIAL_CHAIN;
    }
    return ChainErrorsThatCount(chain.Get()->TrustStatus.dwErrorStatus);
}
