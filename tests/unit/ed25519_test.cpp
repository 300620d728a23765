#include "release/trust/ed25519.h"

#include <gtest/gtest.h>

#include "test_data.h"

namespace {

// Every row of a vector file; a signature of another length than 64 bytes
// never reaches the check (the note reader refuses it first).
void ExpectRows(const std::string& path, size_t count)
{
    const std::vector<SignatureRow> rows = ReadSignatureRows(path);
    EXPECT_EQ(rows.size(), count) << path;
    for (const SignatureRow& row : rows) {
        ASSERT_EQ(row.PublicKey.size(), 32u) << row.Name;
        const bool verified = row.Signature.size() == 64 &&
                              VerifyEd25519(row.PublicKey.data(), row.Message.data(), row.Message.size(),
                                            row.Signature.data());
        EXPECT_EQ(verified, row.Valid) << path << ": " << row.Name;
    }
}

}  // namespace

TEST(VerifyEd25519, Rfc8032Vectors)
{
    ExpectRows(SourceDataPath("ed25519_rfc8032.txt"), 5);
}

TEST(VerifyEd25519, WycheproofVectors)
{
    ExpectRows(TAVRO_WYCHEPROOF_ROWS, 151);
}

TEST(VerifyEd25519, PointsThatDoNotDecode)
{
    ExpectRows(SourceDataPath("ed25519_encodings.txt"), 5);
}
