#include "release/trust/log_proof.h"

#include <gtest/gtest.h>

#include <sstream>

#include "release/manifest.h"
#include "test_data.h"

namespace {

std::wstring Wide(const std::string& utf8)
{
    return Utf8ToWide(ByteBuffer(utf8.begin(), utf8.end()));
}

ByteBuffer Bytes(const std::string& text)
{
    return ByteBuffer(text.begin(), text.end());
}

std::string Data(const std::string& name)
{
    return ReadTestData(SourceDataPath("log_proof/" + name));
}

// The build's values for the log of tests/data/log_proof: its origin, its
// key, its three witnesses (two of them required), the tests' clock and a
// 90-day age limit.
LogRules TestRules()
{
    LogRules rules;
    std::istringstream lines(Data("keys.txt"));
    std::string role, value;
    while (lines >> role >> value) {
        NoteKey key;
        std::wstring fault;
        if (role == "origin") {
            rules.Origin = value;
        } else if (role == "now") {
            rules.NowSeconds = std::stoll(value);
        } else if (role == "log") {
            EXPECT_TRUE(ParseVerifierKey(value, kNoteEd25519, rules.LogKey, fault));
        } else if (role == "witness") {
            EXPECT_TRUE(ParseVerifierKey(value, kNoteCosignature, key, fault));
            rules.Witnesses.push_back(key);
        }
    }
    EXPECT_EQ(rules.Witnesses.size(), 3u);
    rules.MinCosignatures = 2;
    rules.MaxAgeDays = 90;
    return rules;
}

}  // namespace

TEST(VerifyLogProof, EachCheckNamesItsFault)
{
    const std::string manifest = Data("manifest.txt");
    const std::string notInTree = "the manifest not in the checkpoint's tree: index 6 of 11: an inclusion path "
                                  "that leads to another root";
    struct Row {
        const char* proof;
        std::string fault;  // empty: verified
        size_t witnesses;   // that cosigned, when verified
        std::string manifest;
        size_t required = 2;
    };
    const Row rows[] = {
        {"valid", "", 3, manifest},
        {"extra", "", 3, manifest},
        {"two-witnesses", "", 2, manifest},
        {"at-the-limits", "", 2, manifest},
        {"valid", notInTree, 0, manifest + " "},
        {"valid", "cosignatures by 3 of the build's 3 witnesses, fewer than the 4 required", 0, manifest, 4},
        {"one-witness", "cosignatures by 1 of the build's 3 witnesses, fewer than the 2 required", 0, manifest},
        {"unknown-witness", "cosignatures by 1 of the build's 3 witnesses, fewer than the 2 required", 0, manifest},
        {"cosigned-later-checkpoint", "a cosignature by \"witness2.example\" that does not verify", 0, manifest},
        {"time-too-large", "a cosignature by \"witness1.example\" that does not verify", 0, manifest},
        {"future", "a cosignature by \"witness2.example\" dated 25 hours ahead of this computer's clock, more than 24",
         0, manifest},
        {"old", "a cosignature by \"witness1.example\" 91 days old, more than 90", 0, manifest},
        {"other-log-key", "no checkpoint signature by the log key \"log.tavro.example/manifests\"", 0, manifest},
        {"log-signature-of-later-checkpoint",
         "a checkpoint signature that the log key does not verify: \"log.tavro.example/manifests\"", 0, manifest},
        {"other-origin", "checkpoint origin \"log.other.example/manifests\", not \"log.tavro.example/manifests\"", 0,
         manifest},
        {"later-tree-path", notInTree, 0, manifest},
        {"hash-changed", notInTree, 0, manifest},
    };
    for (const Row& row : rows) {
        const std::string name = std::string(row.proof) + (row.manifest == manifest ? "" : ", another manifest") +
                                 (row.required == 2 ? "" : ", more witnesses required");
        LogRules rules = TestRules();
        rules.MinCosignatures = row.required;
        LoggedManifest logged;
        std::wstring fault;
        const ByteBuffer proof = Bytes(Data(std::string(row.proof) + ".tlog-proof"));
        ASSERT_FALSE(proof.empty()) << name;
        EXPECT_EQ(VerifyLogProof(Bytes(row.manifest), proof, rules, logged, fault), row.fault.empty()) << name;
        EXPECT_EQ(fault, Wide(row.fault)) << name;
        EXPECT_EQ(logged.Cosigners.size(), row.witnesses) << name;
        if (row.fault.empty() && !logged.Cosigners.empty()) {
            EXPECT_EQ(logged.Index, 6u) << name;
            EXPECT_EQ(logged.TreeSize, 11u) << name;
            EXPECT_EQ(logged.Cosigners[0], "witness1.example") << name;
        }
    }
}

TEST(ParseLogProof, EachFaultNamesItsLine)
{
    const std::string hash = "FbsRXvs0QClFMm9rZ/wiF93psXTy1riSDmwkPur95YQ=\n";
    const std::string note = "log.tavro.example/manifests\n11\n" + hash + "\n";
    std::string hashes65;
    for (int i = 0; i < 65; ++i) {
        hashes65 += hash;
    }
    struct Row {
        const char* name;
        std::string text;
        std::string fault;  // empty: parsed
        size_t hashes = 0;
        size_t extra = 0;
    };
    const Row rows[] = {
        {"a path of two", "c2sp.org/tlog-proof@v1\nindex 5\n" + hash + hash + "\n" + note, "", 2},
        {"no path", "c2sp.org/tlog-proof@v1\nindex 0\n\n" + note, "", 0},
        {"extra data", "c2sp.org/tlog-proof@v1\nextra AAEC\nindex 5\n" + hash + "\n" + note, "", 1, 3},
        {"another header", "c2sp.org/tlog-proof@v2\nindex 5\n\n" + note,
         "a log proof without the line \"c2sp.org/tlog-proof@v1\" first"},
        {"CR LF", "c2sp.org/tlog-proof@v1\r\nindex 5\r\n\r\n" + note,
         "a log proof without the line \"c2sp.org/tlog-proof@v1\" first"},
        {"extra not base64", "c2sp.org/tlog-proof@v1\nextra A\nindex 5\n\n" + note,
         "a log proof's extra data that is not base64"},
        {"no index", "c2sp.org/tlog-proof@v1\n" + hash + "\n" + note,
         "log proof line \"" + hash.substr(0, 44) + "\", not \"index\" and a decimal number"},
        {"a capital I", "c2sp.org/tlog-proof@v1\nIndex 5\n\n" + note,
         "log proof line \"Index 5\", not \"index\" and a decimal number"},
        {"a leading zero", "c2sp.org/tlog-proof@v1\nindex 05\n\n" + note,
         "log proof line \"index 05\", not \"index\" and a decimal number"},
        {"a short hash", "c2sp.org/tlog-proof@v1\nindex 5\nAAAA\n\n" + note,
         "log proof line \"AAAA\", not base64 of a 32-byte hash"},
        {"65 hashes", "c2sp.org/tlog-proof@v1\nindex 5\n" + hashes65 + "\n" + note,
         "a log proof of more than 64 hashes"},
        {"no blank line", "c2sp.org/tlog-proof@v1\nindex 5\n" + hash,
         "a log proof without a blank line and a checkpoint after its hashes"},
        {"nothing after it", "c2sp.org/tlog-proof@v1\nindex 5\n" + hash + "\n",
         "a log proof without a blank line and a checkpoint after its hashes"},
    };
    for (const Row& row : rows) {
        LogProof proof;
        std::wstring fault;
        EXPECT_EQ(ParseLogProof(row.text, proof, fault), row.fault.empty()) << row.name;
        EXPECT_EQ(fault, Wide(row.fault)) << row.name;
        if (row.fault.empty()) {
            EXPECT_EQ(proof.Path.size(), row.hashes) << row.name;
            EXPECT_EQ(proof.Extra.size(), row.extra) << row.name;
            EXPECT_EQ(proof.Checkpoint, note) << row.name;
        }
    }
}

TEST(VerifyLogProof, RefusesAProofTooLargeToRead)
{
    LoggedManifest logged;
    std::wstring fault;
    EXPECT_FALSE(VerifyLogProof(ByteBuffer(), ByteBuffer(kMaxLogProofBytes + 1, 'a'), TestRules(), logged, fault));
    EXPECT_EQ(fault, L"a log proof of 262145 bytes, more than 262144");
}
