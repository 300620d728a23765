#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "platform/scoped_handle.h"

// Owners for the crypt32 handles the signature and time-stamp checks open.

inline void CloseCertificateStore(HCERTSTORE store)
{
    CertCloseStore(store, 0);
}

inline void CloseCryptMessage(HCRYPTMSG message)
{
    CryptMsgClose(message);
}

inline void FreeCertificate(PCCERT_CONTEXT certificate)
{
    CertFreeCertificateContext(certificate);
}

inline void FreeCertificateChain(PCCERT_CHAIN_CONTEXT chain)
{
    CertFreeCertificateChain(chain);
}

using ScopedStore = ScopedHandle<HCERTSTORE, CloseCertificateStore>;
using ScopedMessage = ScopedHandle<HCRYPTMSG, CloseCryptMessage>;
using ScopedCertificate = ScopedHandle<PCCERT_CONTEXT, FreeCertificate>;
using ScopedChain = ScopedHandle<PCCERT_CHAIN_CONTEXT, FreeCertificateChain>;
