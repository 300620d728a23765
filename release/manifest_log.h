#pragma once

#include <string>

#include "release/error_text.h"
#include "release/failure_detail.h"
#include "release/trust/log_proof.h"

class TransferSessions;  // release/transfer/async_request.h

// The log lock in an attempt: a build with TAVRO_LOG_KEY takes a manifest
// only when the proof served beside it shows it in the log that the build's
// witnesses have seen (release/trust/log_proof.h).

// Where the proof of the manifest at `manifestUrl` is served: beside it, on
// the same host, as "tavro-update.proof".
std::wstring LogProofUrl(const std::wstring& manifestUrl);

// The proof fetched through the attempt's `sessions` (one more request on
// the manifest's connection) and verified with `rules` for the manifest's
// bytes as received. On failure assigns the signed manifest's refusal (also
// when the host answered with an error instead of a proof), or the
// download's own sentence when the proof could not be fetched (no
// connection, a cut), and what failed.
[[nodiscard]] bool CheckManifestLogged(const std::wstring& manifestUrl, const ByteBuffer& manifest,
                                       const LogRules& rules, TransferSessions& sessions, ErrorText& error,
                                       FailureDetail& detail);

// The same with this build's rules now (LogRulesNow); a build whose
// settings give no rules refuses every manifest, saying which setting.
[[nodiscard]] bool CheckManifestLoggedNow(const std::wstring& manifestUrl, const ByteBuffer& manifest,
                                          TransferSessions& sessions, ErrorText& error, FailureDetail& detail);
