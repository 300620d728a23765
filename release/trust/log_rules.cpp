#include "release/trust/log_rules.h"

#include "release/build_settings.h"
#include "release/trust/manifest_signature.h"

bool LogRulesFromSettings(const std::string& logKey, const std::string& witnesses, size_t quorum,
                          long long maxAgeDays, long long nowSeconds, LogRules& rules, std::wstring& fault)
{
    LogRules read;
    std::wstring why;
    if (!ParseVerifierKey(logKey, kNoteEd25519, read.LogKey, why)) {
        fault = L"the build's log key (TAVRO_LOG_KEY): " + why;
        return false;
    }
    read.Origin = read.LogKey.Name;
    for (const std::string& text : SettingWords(witnesses)) {
        NoteKey witness;
        if (!ParseVerifierKey(text, kNoteCosignature, witness, why)) {
            fault = L"the build's witness key " + QuotedNoteText(text) + L" (TAVRO_LOG_WITNESSES): " + why;
            return false;
        }
        // Each witness counts once towards the quorum.
        for (const NoteKey& known : read.Witnesses) {
            if (known.Name == witness.Name) {
                fault = L"the build's witnesses (TAVRO_LOG_WITNESSES) name " + QuotedNoteText(witness.Name) +
                        L" twice";
                return false;
            }
        }
        read.Witnesses.push_back(witness);
    }
    // Without a witness the log alone, which the publisher runs, would say
    // what everyone was shown.
    if (quorum < 1 || quorum > read.Witnesses.size()) {
        fault = L"the build's quorum of " + std::to_wstring(quorum) + L" (TAVRO_LOG_QUORUM) of " +
                std::to_wstring(read.Witnesses.size()) + L" witnesses, not from 1 to their number";
        return false;
    }
    read.MinCosignatures = quorum;
    read.MaxAgeDays = maxAgeDays;
    read.NowSeconds = nowSeconds;
    rules = read;
    return true;
}

bool BuildRequiresLogProof()
{
    return kLogKeyText[0] != '\0';
}

bool LogRulesNow(LogRules& rules, std::wstring& fault)
{
    return LogRulesFromSettings(kLogKeyText, kLogWitnessesText, kLogQuorum, kManifestMaxDays, NowUtcSeconds(), rules,
                                fault);
}
