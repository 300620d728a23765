#include "release/trust/log_rules.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "release/manifest.h"
#include "release/manifest_log.h"
#include "test_data.h"

namespace {

// The keys of tests/data/log_proof/keys.txt by role: "log", "witness1" to
// "witness3", "stranger".
std::map<std::string, std::string> TestKeys()
{
    std::map<std::string, std::string> keys;
    std::istringstream lines(ReadTestData(SourceDataPath("log_proof/keys.txt")));
    std::string role, value;
    int witnesses = 0;
    while (lines >> role >> value) {
        keys[role == "witness" ? role + std::to_string(++witnesses) : role] = value;
    }
    return keys;
}

}  // namespace

TEST(LogRulesFromSettings, TakesTheBuildsKeysOrNamesTheSetting)
{
    std::map<std::string, std::string> k = TestKeys();
    const std::string three = k["witness1"] + " " + k["witness2"] + "  " + k["witness3"];
    std::string badId = k["witness2"];
    badId[badId.find('+') + 1] = badId[badId.find('+') + 1] == '0' ? '1' : '0';
    struct Row {
        const char* name;
        std::string log, witnesses;
        size_t quorum;
        std::wstring fault;  // empty: taken
    };
    const Row rows[] = {
        {"three witnesses, two required", k["log"], three, 2, L""},
        {"a witness's key as the log's", k["witness1"], three, 2,
         L"the build's log key (TAVRO_LOG_KEY): verifier key of \"witness1.example\": not base64 of type 1 and a "
         L"32-byte Ed25519 key"},
        {"the log's key as a witness's", k["log"], k["log"], 1,
         L"the build's witness key \"" + Utf8ToWide(ByteBuffer(k["log"].begin(), k["log"].end())) +
             L"\" (TAVRO_LOG_WITNESSES): verifier key of \"log.tavro.example/manifests\": not base64 of type 4 and "
             L"a 32-byte Ed25519 key"},
        {"a key ID not the key's", k["log"], badId, 1,
         L"the build's witness key \"" + Utf8ToWide(ByteBuffer(badId.begin(), badId.end())) +
             L"\" (TAVRO_LOG_WITNESSES): verifier key of \"witness2.example\": a key ID that is not its key's"},
        {"a witness twice", k["log"], k["witness1"] + " " + k["witness1"], 1,
         L"the build's witnesses (TAVRO_LOG_WITNESSES) name \"witness1.example\" twice"},
        {"more required than named", k["log"], three, 4,
         L"the build's quorum of 4 (TAVRO_LOG_QUORUM) of 3 witnesses, not from 1 to their number"},
        {"no witness", k["log"], "", 1, L"the build's quorum of 1 (TAVRO_LOG_QUORUM) of 0 witnesses, not from 1 to "
                                       L"their number"},
    };
    for (const Row& row : rows) {
        LogRules rules;
        std::wstring fault;
        EXPECT_EQ(LogRulesFromSettings(row.log, row.witnesses, row.quorum, 90, 1796774400, rules, fault),
                  row.fault.empty())
            << row.name;
        EXPECT_EQ(fault, row.fault) << row.name;
        if (row.fault.empty()) {
            // The log key's name is the origin; the rules verify a proof of
            // that log.
            EXPECT_EQ(rules.Origin, "log.tavro.example/manifests");
            EXPECT_EQ(rules.Witnesses.size(), 3u);
            const std::string manifest = ReadTestData(SourceDataPath("log_proof/manifest.txt"));
            const std::string proof = ReadTestData(SourceDataPath("log_proof/two-witnesses.tlog-proof"));
            LoggedManifest logged;
            EXPECT_TRUE(VerifyLogProof(ByteBuffer(manifest.begin(), manifest.end()),
                                       ByteBuffer(proof.begin(), proof.end()), rules, logged, fault))
                << fault;
        }
    }
}

TEST(LogProofUrl, IsBesideTheManifest)
{
    EXPECT_EQ(LogProofUrl(L"https://tavro.example/updates/tavro-update.txt"),
              L"https://tavro.example/updates/tavro-update.proof");
    EXPECT_EQ(LogProofUrl(L"https://mirror.example:8443/updates/tavro-update.txt"),
              L"https://mirror.example:8443/updates/tavro-update.proof");
}
