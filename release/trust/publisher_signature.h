#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "release/build_settings.h"
#include "release/error_text.h"
#include "release/failure_detail.h"

// An installer built with the TAVRO_PUBLISHER setting runs a downloaded file
// only when, besides its SHA-256 value, it carries a valid Authenticode
// signature made by that publisher: whoever can publish a manifest and a
// matching file on the release host cannot also sign as the publisher.

#ifdef TAVRO_PUBLISHER
// The publisher's name as the signing certificate gives it.
constexpr wchar_t kRequiredPublisher[] = TAVRO_WIDEN(TAVRO_PUBLISHER);
#endif

// The signer's name (the certificate's simple display name, normally its
// common name) is the publisher's: the same characters, letter case
// included; an empty name never is.
bool IsRequiredPublisher(const std::wstring& signerName, const std::wstring& publisher);

// WinVerifyTrust's verdict on a file, asked for revocation: a verdict that
// only says revocation status could not be had (offline, no answer in time)
// leaves the decision to the signer's chain, as does acceptance. The chain
// then forgives "revocation status unknown" and "offline revocation", but
// never "revoked": a blocked CA server cannot unrevoke a certificate, and a
// user who cannot reach it is not kept from installing.
bool VerdictLeavesChainToJudge(LONG verdict);

// One of the chain's CAs has the pinned key: `pin` is the SHA-256 (hex, any
// case) of its SubjectPublicKeyInfo, `caKeyHashes` those of the chain's CAs
// (lower case).
bool ChainHoldsCa(const std::vector<std::wstring>& caKeyHashes, const std::wstring& pin);

#ifdef TAVRO_PUBLISHER_CA
// The SHA-256 (lower-case hex) of each CA's SubjectPublicKeyInfo in the
// chain's first simple chain, the issuer first and the root last.
std::vector<std::wstring> CaKeyHashes(const CERT_CHAIN_CONTEXT& chain);
#endif

// Checks the file open at `file` (its path names it for the platform; the
// bytes are read through the handle): WinVerifyTrust with the generic verify
// action, no UI and revocation checked for the whole chain but the root
// must accept it (or leave the decision to the chain), the signer's
// certificate chain from the same verification must have no error that
// counts (ChainErrorsThatCount; an expired certificate only with a valid
// time stamp from within its validity), the signer must be `publisher`,
// and in a build with TAVRO_PUBLISHER_CA one of the chain's CAs must have
// that key.
// On failure assigns PublisherRefusal(publisher) (release_messages.h), and
// `cause`, when given, says why (a cause of failure_detail.h): the
// verification's result, the chain's errors or the signer's name.
[[nodiscard]] bool CheckPublisherSignature(HANDLE file, const std::wstring& path, const std::wstring& publisher,
                                           ErrorText& error, std::wstring* cause = nullptr);
