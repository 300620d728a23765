#include "release/publisher_signature.h"

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

TEST(IsRequiredPublisher, TheSameCharactersOnly)
{
    EXPECT_TRUE(IsRequiredPublisher(L"Example Software Ltd", L"Example Software Ltd"));
    EXPECT_FALSE(IsRequiredPublisher(L"example software ltd", L"Example Software Ltd"));
    EXPECT_FALSE(IsRequiredPublisher(L"Example Software Ltd ", L"Example Software Ltd"));
    EXPECT_FALSE(IsRequiredPublisher(L"Example Software", L"Example Software Ltd"));
    EXPECT_FALSE(IsRequiredPublisher(L"Example Software Ltd, Evil Branch", L"Example Software Ltd"));
    EXPECT_FALSE(IsRequiredPublisher(L"", L""));
}

}  // namespace
