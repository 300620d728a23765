#pragma once

#include <cstddef>
#include <string>

#include "release/trust/log_proof.h"

// The rules of the log lock from a build's settings (build_settings.h).

// `logKey` a log's note verifier key, whose name is the origin its
// checkpoints must carry; `witnesses` cosignature verifier keys separated
// by spaces, at least `quorum` of them required; cosignatures as old as
// `maxAgeDays` taken, judged at `nowSeconds`. On false `fault` names the
// setting and what is wrong with it, and `rules` is left as it was.
[[nodiscard]] bool LogRulesFromSettings(const std::string& logKey, const std::string& witnesses, size_t quorum,
                                        long long maxAgeDays, long long nowSeconds, LogRules& rules,
                                        std::wstring& fault);

// Whether this build asks for a log proof beside the manifest (TAVRO_LOG_KEY).
bool BuildRequiresLogProof();

// This build's rules at this computer's clock, a proof lasting as long as a
// manifest may (TAVRO_MANIFEST_MAX_DAYS): a manifest is logged and cosigned
// when it is signed.
[[nodiscard]] bool LogRulesNow(LogRules& rules, std::wstring& fault);
