#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

// RFC 3161 time stamps of Authenticode signatures: a time-stamp authority
// vouches that a signature existed at a time, so that the signature still
// counts after its certificate has expired, as long as it was made while the
// certificate was valid.

// What a time stamp's TSTInfo says: which hash of the signature it stamped
// and when.
struct TimeStampInfo {
    std::string HashAlgorithm;        // dotted OID, e.g. "2.16.840.1.101.3.4.2.1"
    std::vector<BYTE> HashedMessage;  // the hash of the stamped signature value
    FILETIME Time = {};               // genTime, UTC
};

// Reads the DER of a TSTInfo: version, policy, messageImprint (algorithm and
// hash), serial number and genTime ("YYYYMMDDhhmmss[.f...]Z"), and ignores
// what follows. False for anything else (another layout, a length that runs
// past the end, a time without "Z").
bool ParseTimeStampInfo(const BYTE* der, size_t size, TimeStampInfo& info);

// The BCrypt algorithm for a hash OID the check accepts (SHA-256, SHA-384,
// SHA-512); null for any other (SHA-1 included).
const wchar_t* HashAlgorithmForOid(const std::string& oid);

// A time-stamp authority's certificate as RFC 3161 wants it: an extended
// key usage extension, marked critical, that names time stamping and
// nothing else. (A certificate without the extension would pass a chain
// check for any usage.)
bool IsTimeStampingOnly(const CERT_INFO& certificate);

// The time the signature's RFC 3161 time stamp vouches for, when there is
// one and it holds: its token's signature verifies, the token's
// messageDigest is the hash of its TSTInfo, its signer is a time-stamping
// authority (IsTimeStampingOnly) whose chain is valid at that time, and it stamped exactly this signature value.
bool TrustedTimeStampTime(const CMSG_SIGNER_INFO& signer, FILETIME& time);
