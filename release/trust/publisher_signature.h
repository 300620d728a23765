#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

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

// Checks the file open at `file` (its path names it for the platform; the
// bytes are read through the handle): WinVerifyTrust with the generic verify
// action, no UI and no revocation check must accept it, the signer's
// certificate chain from the same verification must have no error that
// counts (ChainErrorsThatCount; an expired certificate only with a valid
// time stamp from within its validity), and the signer must be `publisher`.
// On failure assigns PublisherRefusal(publisher) (release_messages.h), and
// `cause`, when given, says why (a cause of failure_detail.h): the
// verification's result, the chain's errors or the signer's name.
[[nodiscard]] bool CheckPublisherSignature(HANDLE file, const std::wstring& path, const std::wstring& publisher,
                                           ErrorText& error, std::wstring* cause = nullptr);
