#pragma once

#include <windows.h>
#include <wincrypt.h>

// Certificate chains as the signature checks judge them.

// The chain errors that refuse a signature: every error status bit except
// "revocation status unknown" and "offline revocation" (revocation is not
// checked).
DWORD ChainErrorsThatCount(DWORD chainErrorStatus);

// ChainErrorsThatCount of the chain built for `certificate` as of `time`
// (UTC) for the usage `usageOid`, taking further certificates from `extra`
// and from nothing but the local stores and cache (no URL is fetched);
// CERT_TRUST_IS_PARTIAL_CHAIN when none can be built.
DWORD ChainErrorsAt(PCCERT_CONTEXT certificate, FILETIME time, HCERTSTORE extra, const char* usageOid);

// ChainErrorsThatCount of the chain built now for `certificate` and
// `usageOid` with revocation checked for every certificate but the root,
// all its fetches together bounded by `waitMs` (then the status is unknown,
// which is forgiven; a revoked certificate never is).
DWORD ChainErrorsWithRevocation(PCCERT_CONTEXT certificate, HCERTSTORE extra, const char* usageOid, DWORD waitMs);
