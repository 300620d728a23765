#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <functional>
#include <string>
#include <vector>

#include "release/build_settings.h"
#include "release/error_text.h"
#include "release/failure_detail.h"

// An installer built with the TAVRO_PUBLISHER setting (kRequiredPublisher,
// build_settings.h) runs a downloaded file only when, besides its SHA-256
// value, it carries a valid Authenticode signature made by that publisher:
// whoever can publish a manifest and a matching file on the release host
// cannot also sign as the publisher.

// The signer's name (the certificate's simple display name, normally its
// common name) is the publisher's: the same characters, letter case
// included; an empty name never is.
bool IsRequiredPublisher(const std::wstring& signerName, const std::wstring& publisher);

// What one verification found out about a file's signature, for
// PublisherSignatureFault. The two costly facts are read only when the
// decision asks for them; both must be set when HasSigner is.
struct SignatureFacts {
    LONG Verdict = 0;        // WinVerifyTrust's, asked without revocation
    bool HasSigner = false;  // the verification names a signer with a chain
    DWORD ChainStatus = 0;   // that chain's error status (CERT_TRUST_*)
    std::wstring SignerName;
    bool PinHolds = true;  // one of its CAs has the pinned key (no pin: true)
    // A valid time stamp from a time the chain was valid at.
    std::function<bool()> SignedWhileValid;
    // The error status of the chain built again with revocation checked,
    // which may fetch what the certificates name.
    std::function<DWORD()> RevocationStatus;
};

// The decision on a signature, the cheap checks first: the verdict must
// accept the file (a verdict that only says revocation status could not be
// had leaves it to the rest), the chain must have no error that counts
// (ChainErrorsThatCount; time alone only with SignedWhileValid), the signer
// must be `publisher` (IsRequiredPublisher) and the pin must hold. Only a
// signer that passes all of them is asked RevocationStatus, so that a
// certificate anyone can make never sends the installer to the revocation
// URLs it names. "Revoked" then refuses it; a status that could not be had
// (offline, no answer in time) does not: a blocked CA server cannot unrevoke
// a certificate, and a user who cannot reach it is not kept from
// installing. Returns what is wrong (a cause of failure_detail.h), or
// nothing.
std::wstring PublisherSignatureFault(const SignatureFacts& facts, const std::wstring& publisher);

// PublisherSignatureFault's cause for a signer that passes all but the pin.
constexpr wchar_t kPinFault[] = L"a signer whose chain holds no CA with the key TAVRO_PUBLISHER_CA names";

// One of the chain's CAs has the pinned key: `pin` is the SHA-256 (hex, any
// case) of its SubjectPublicKeyInfo, `caKeyHashes` those of the chain's CAs
// (lower case).
bool ChainHoldsCa(const std::vector<std::wstring>& caKeyHashes, const std::wstring& pin);

// The SHA-256 (lower-case hex) of each CA's SubjectPublicKeyInfo in the
// chain's first simple chain, the issuer first and the root last. Only a
// build pinned to a CA (kPublisherCaPin) encodes the keys; any other gets
// none.
std::vector<std::wstring> CaKeyHashes(const CERT_CHAIN_CONTEXT& chain);

// Checks the file open at `file` (its path names it for the platform; the
// bytes are read through the handle): WinVerifyTrust with the generic verify
// action, no UI and no revocation, then PublisherSignatureFault on what it
// found (the signer's certificate chain from the same verification; in a
// build pinned to a CA, kPublisherCaPin, one of the chain's CAs must have
// that key),
// revocation checked last, for the whole chain but the root.
// On failure assigns PublisherRefusal(publisher) (release_messages.h), and
// `cause`, when given, says why (a cause of failure_detail.h): the
// verification's result, the chain's errors or the signer's name.
[[nodiscard]] bool CheckPublisherSignature(HANDLE file, const std::wstring& path, const std::wstring& publisher,
                                           ErrorText& error, std::wstring* cause = nullptr);
