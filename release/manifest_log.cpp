#include "release/manifest_log.h"

#include "release/release_messages.h"
#include "release/transfer/https_transfer.h"
#include "release/trust/log_rules.h"

std::wstring LogProofUrl(const std::wstring& manifestUrl)
{
    return manifestUrl.substr(0, manifestUrl.rfind(L'/') + 1) + L"tavro-update.proof";
}

bool CheckManifestLogged(const std::wstring& manifestUrl, const ByteBuffer& manifest, const LogRules& rules,
                         TransferSessions& sessions, ErrorText& error, FailureDetail& detail)
{
    const std::wstring proofUrl = LogProofUrl(manifestUrl);
    ByteBuffer proof;
    if (!DownloadUrl(proofUrl, proof, DownloadReport(), error, &detail, &sessions)) {
        // A host that serves the manifest but answers 404 for its proof has
        // not shown it logged: the manifest's refusal, not the server's.
        if (error == kMsgDownloadBadStatus) {
            error = kMsgManifestUnverified;
        }
        return false;
    }
    LoggedManifest logged;
    std::wstring fault;
    if (!VerifyLogProof(manifest, proof, rules, logged, fault)) {
        error = kMsgManifestUnverified;
        detail = DescribeFailure(fault, L"in", UrlForLog(proofUrl));
        return false;
    }
    return true;
}

bool CheckManifestLoggedNow(const std::wstring& manifestUrl, const ByteBuffer& manifest, TransferSessions& sessions,
                            ErrorText& error, FailureDetail& detail)
{
    LogRules rules;
    std::wstring fault;
    if (!LogRulesNow(rules, fault)) {
        error = kMsgManifestUnverified;
        detail = DescribeFailure(fault, L"for", UrlForLog(LogProofUrl(manifestUrl)));
        return false;
    }
    return CheckManifestLogged(manifestUrl, manifest, rules, sessions, error, detail);
}
