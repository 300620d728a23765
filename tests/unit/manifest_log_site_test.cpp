// The log lock's fetch of the proof beside the manifest, against the test
// bed's release site (run inside the bed), with the rules of the log of
// tests/data/log_proof.
#include "release/manifest_log.h"

#include <gtest/gtest.h>

#include <sstream>

#include "official_host.h"
#include "release/release_messages.h"
#include "release/transfer/async_request.h"
#include "release/trust/log_rules.h"
#include "release_site.h"
#include "test_data.h"

namespace {

ByteBuffer Data(const std::string& name)
{
    const std::string text = ReadTestData(SourceDataPath("log_proof/" + name));
    return ByteBuffer(text.begin(), text.end());
}

LogRules TestRules()
{
    LogRules rules;
    std::istringstream lines(ReadTestData(SourceDataPath("log_proof/keys.txt")));
    std::string role, value, log, witnesses;
    while (lines >> role >> value) {
        log = role == "log" ? value : log;
        witnesses += role == "witness" ? value + " " : "";
        rules.NowSeconds = role == "now" ? std::stoll(value) : rules.NowSeconds;
    }
    std::wstring fault;
    EXPECT_TRUE(LogRulesFromSettings(log, witnesses, 2, 90, rules.NowSeconds, rules, fault)) << fault;
    return rules;
}

}  // namespace

TEST(CheckManifestLogged, TakesOnlyAProofOfTheManifestAndNamesWhatFailed)
{
    const std::wstring proofUrl = OfficialUrl(L"/updates/tavro-update.proof");
    const std::string proofPath = "/updates/tavro-update.proof";
    struct Row {
        const char* name;
        const char* proof;  // null: none served
        const char* rules;  // for the proof's path
        const wchar_t* error;  // null: verified
        std::wstring detail;
    };
    const Row rows[] = {
        {"cosigned by all three", "valid", "{}", nullptr, L""},
        {"no proof", nullptr, "{}", kMsgManifestUnverified,
         L"HTTP status 404 (not found) requesting " + proofUrl + L"."},
        {"one witness", "one-witness", "{}", kMsgManifestUnverified,
         L"cosignatures by 1 of the build's 3 witnesses, fewer than the 2 required in " + proofUrl + L"."},
        {"the connection cut", "valid", "{\"" "/updates/tavro-update.proof" "\": {\"cut\": 100}}",
         kMsgDownloadFailed, L""},
    };
    for (const Row& row : rows) {
        ClearSite();
        if (row.proof != nullptr) {
            ASSERT_TRUE(PublishFile(proofPath, Data(std::string(row.proof) + ".tlog-proof"))) << row.name;
        }
        ASSERT_TRUE(SetSiteRules(row.rules)) << row.name;
        TransferSessions sessions;
        ErrorText error;
        FailureDetail detail;
        EXPECT_EQ(CheckManifestLogged(OfficialUrl(L"/updates/tavro-update.txt"), Data("manifest.txt"), TestRules(),
                                      sessions, error, detail),
                  row.error == nullptr)
            << row.name;
        EXPECT_EQ(error, row.error == nullptr ? L"" : row.error) << row.name;
        if (!row.detail.empty() || row.error == nullptr) {
            EXPECT_EQ(detail, row.detail) << row.name;
        }
        EXPECT_NE(RequestsLog().find(proofPath), std::string::npos) << row.name;
    }
}
