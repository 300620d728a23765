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

// Revocation, as Windows reports it: a revoked certificate never passes; a
// status that could not be had (the CA's servers offline or silent) leaves
// the decision to the rest of the chain.
TEST(Revocation, RevokedIsRefusedOfflineIsNot)
{
    const LONG kRevoked = static_cast<LONG>(0x800B010C);            // CERT_E_REVOKED
    const LONG kRevocationFailure = static_cast<LONG>(0x800B010E);  // CERT_E_REVOCATION_FAILURE
    const LONG kOffline = static_cast<LONG>(0x80092013);            // CRYPT_E_REVOCATION_OFFLINE
    const LONG kNoSignature = static_cast<LONG>(0x800B0100);        // TRUST_E_NOSIGNATURE
    const DWORD unknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    struct Row {
        LONG verdict;
        DWORD chainStatus;
        bool stands;
    };
    const Row rows[] = {
        {0, 0, true},
        {kRevocationFailure, unknown, true},
        {kOffline, unknown, true},
        {kRevoked, CERT_TRUST_IS_REVOKED, false},
        {0, CERT_TRUST_IS_REVOKED, false},  // Wine: the verdict passes, the chain says revoked
        {kOffline, CERT_TRUST_IS_REVOKED | unknown, false},
        {kNoSignature, 0, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(VerdictLeavesChainToJudge(row.verdict) && ChainErrorsThatCount(row.chainStatus) == 0, row.stands)
            << std::hex << row.verdict << " " << row.chainStatus;
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
