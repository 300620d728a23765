#include "release/trust/publisher_signature.h"

#include "release/release_messages.h"
#include "release/trust/certificate_chain.h"
#include "release/trust/time_stamp.h"

#include <gtest/gtest.h>

#include <wincrypt.h>

namespace {

TEST(PublisherRefusal, NamesThePublisherAndSaysTheFileWillNotRun)
{
    EXPECT_EQ(PublisherRefusal(L"Example Software Ltd"),
              L"The downloaded installer is not signed by Example Software Ltd. It will not be executed.");
}

TEST(ChainErrorsThatCount, OnlyRevocationUnknownIsForgiven)
{
    struct Row {
        DWORD status;
        DWORD counted;
    };
    const Row rows[] = {
        {0, 0},
        {CERT_TRUST_REVOCATION_STATUS_UNKNOWN, 0},
        {CERT_TRUST_IS_OFFLINE_REVOCATION, 0},
        {CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION, 0},
        {CERT_TRUST_IS_NOT_TIME_VALID, CERT_TRUST_IS_NOT_TIME_VALID},
        {CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_REVOCATION_STATUS_UNKNOWN, CERT_TRUST_IS_UNTRUSTED_ROOT},
        {CERT_TRUST_IS_PARTIAL_CHAIN, CERT_TRUST_IS_PARTIAL_CHAIN},
        {CERT_TRUST_IS_REVOKED, CERT_TRUST_IS_REVOKED},
        {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, CERT_TRUST_IS_NOT_VALID_FOR_USAGE},
        {CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_OFFLINE_REVOCATION, CERT_TRUST_IS_NOT_SIGNATURE_VALID},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ChainErrorsThatCount(row.status), row.counted) << std::hex << row.status;
    }
}

// The decision on a signature. Revocation is asked last, and only of a
// signer that passes every other check: a certificate anyone can make must
// not send the installer to the URLs it names. A revoked certificate never
// passes; a status that could not be had (the CA's servers offline or
// silent, as Windows reports it) leaves the decision to the rest.
TEST(PublisherSignatureFault, RevocationLastRevokedIsRefusedOfflineIsNot)
{
    const LONG kRevoked = static_cast<LONG>(0x800B010C);            // CERT_E_REVOKED
    const LONG kRevocationFailure = static_cast<LONG>(0x800B010E);  // CERT_E_REVOCATION_FAILURE
    const LONG kOffline = static_cast<LONG>(0x80092013);            // CRYPT_E_REVOCATION_OFFLINE
    const LONG kNoSignature = static_cast<LONG>(0x800B0100);        // TRUST_E_NOSIGNATURE
    const DWORD unknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    const DWORD revoked = CERT_TRUST_IS_REVOKED;
    const DWORD expired = CERT_TRUST_IS_NOT_TIME_VALID;
    const wchar_t* publisher = L"Example Software Ltd";
    const wchar_t* refusedRevoked = L"certificate chain errors 0x00000004 (revoked)";
    struct Row {
        const char* name;
        LONG verdict;
        DWORD chainStatus;
        bool stamped;            // a valid time stamp from within the chain's validity
        const wchar_t* signer;   // null: the verification names none
        bool pinHolds;
        DWORD revocationStatus;  // what the chain built with revocation says, if asked
        const wchar_t* fault;    // empty: the signature stands
        bool revocationAsked;
    };
    const Row rows[] = {
        {"the publisher's", 0, 0, false, publisher, true, 0, L"", true},
        {"revoked", 0, 0, false, publisher, true, revoked, refusedRevoked, true},
        {"offline", 0, 0, false, publisher, true, unknown, L"", true},
        {"unknown", 0, 0, false, publisher, true, CERT_TRUST_REVOCATION_STATUS_UNKNOWN, L"", true},
        {"offline, yet revoked", 0, 0, false, publisher, true, revoked | unknown, refusedRevoked, true},
        {"a verdict without revocation status", kRevocationFailure, unknown, false, publisher, true, unknown, L"",
         true},
        {"a verdict offline, the chain revoked", kOffline, 0, false, publisher, true, revoked, refusedRevoked, true},
        {"expired, time-stamped, revoked", 0, expired, true, publisher, true, revoked | expired,
         L"certificate chain errors 0x00000005 (not time valid, revoked)", true},
        {"wrong name", 0, 0, false, L"Someone Else", true, revoked, L"a signature by \"Someone Else\"", false},
        {"untrusted root", 0, CERT_TRUST_IS_UNTRUSTED_ROOT | unknown, false, publisher, true, revoked,
         L"certificate chain errors 0x00000020 (untrusted root)", false},
        {"expired, no time stamp", 0, expired, false, publisher, true, revoked,
         L"certificate chain errors 0x00000001 (not time valid)", false},
        {"pin missing", 0, 0, false, publisher, false, revoked,
         L"a signer whose chain holds no CA with the key TAVRO_PUBLISHER_CA names", false},
        {"a verdict of revoked", kRevoked, 0, false, publisher, true, revoked,
         L"WinVerifyTrust result 0x800B010C (certificate revoked)", false},
        {"no signature", kNoSignature, 0, false, nullptr, true, 0, L"WinVerifyTrust result 0x800B0100 (no signature)",
         false},
        {"accepted without a signer", 0, 0, false, nullptr, true, 0, L"no signer", false},
    };
    for (const Row& row : rows) {
        bool asked = false;
        SignatureFacts facts;
        facts.Verdict = row.verdict;
        facts.HasSigner = row.signer != nullptr;
        facts.ChainStatus = row.chainStatus;
        facts.SignerName = row.signer != nullptr ? row.signer : L"";
        facts.PinHolds = row.pinHolds;
        facts.SignedWhileValid = [&row] { return row.stamped; };
        facts.RevocationStatus = [&row, &asked] {
            asked = true;
            return row.revocationStatus;
        };
        EXPECT_EQ(PublisherSignatureFault(facts, publisher), row.fault) << row.name;
        EXPECT_EQ(asked, row.revocationAsked) << row.name;
    }
}

TEST(ChainHoldsCa, ThePinnedKeyAmongTheChainsCas)
{
    const std::wstring issuer(64, L'a');
    const std::wstring root(64, L'b');
    EXPECT_TRUE(ChainHoldsCa({issuer, root}, root));
    EXPECT_TRUE(ChainHoldsCa({issuer, root}, std::wstring(64, L'A')));
    EXPECT_FALSE(ChainHoldsCa({issuer, root}, std::wstring(64, L'c')));
    EXPECT_FALSE(ChainHoldsCa({}, root));
}

TEST(IsRequiredPublisher, TheSameCharactersOnly)
{
    EXPECT_TRUE(IsRequiredPublisher(L"Example Software Ltd", L"Example Software Ltd"));
    EXPECT_FALSE(IsRequiredPublisher(L"example software ltd", L"Example Software Ltd"));
    EXPECT_FALSE(IsRequiredPublisher(L"Example Software Ltd ", L"Example Software Ltd"));
    EXPECT_FALSE(IsRequiredPublisher(L"Example Software", L"Example Software Ltd"));
    EXPECT_FALSE(IsRequiredPublisher(L"Example Software Ltd, Evil Branch", L"Example Software Ltd"));
    EXPECT_FALSE(IsRequiredPublisher(L"", L""));
}

// A time-stamp authority's certificate must say, critically, that it stamps
// time and does nothing else (a chain check alone passes one without any
// usage extension).
TEST(IsTimeStampingOnly, ACriticalExtendedKeyUsageOfTimeStampingAlone)
{
    // DER of ExtKeyUsageSyntax: SEQUENCE OF OID.
    BYTE timeStamping[] = {0x30, 0x0A, 0x06, 0x08, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x08};
    BYTE codeSigning[] = {0x30, 0x0A, 0x06, 0x08, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03};
    BYTE both[] = {0x30, 0x14, 0x06, 0x08, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x08,
                   0x06, 0x08, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03};
    char ekuOid[] = szOID_ENHANCED_KEY_USAGE;
    char basicOid[] = szOID_BASIC_CONSTRAINTS2;
    BYTE notCa[] = {0x30, 0x00};
    struct Row {
        const char* name;
        char* oid;
        BOOL critical;
        BYTE* value;
        DWORD size;
        bool accepted;
    };
    const Row rows[] = {
        {"no extension at all", nullptr, FALSE, nullptr, 0, false},
        {"another extension only", basicOid, TRUE, notCa, sizeof(notCa), false},
        {"time stamping, not critical", ekuOid, FALSE, timeStamping, sizeof(timeStamping), false},
        {"time stamping, critical", ekuOid, TRUE, timeStamping, sizeof(timeStamping), true},
        {"code signing, critical", ekuOid, TRUE, codeSigning, sizeof(codeSigning), false},
        {"time stamping and code signing", ekuOid, TRUE, both, sizeof(both), false},
    };
    for (const Row& row : rows) {
        CERT_EXTENSION extension = {row.oid, row.critical, {row.size, row.value}};
        CERT_INFO certificate = {};
        certificate.cExtension = row.oid != nullptr ? 1 : 0;
        certificate.rgExtension = row.oid != nullptr ? &extension : nullptr;
        EXPECT_EQ(IsTimeStampingOnly(certificate), row.accepted) << row.name;
    }
}

}  // namespace
