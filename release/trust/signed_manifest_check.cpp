#include "release/trust/signed_manifest_check.h"

#include "release/failure_detail.h"
#include "release/release_messages.h"
#include "release/transfer/transfer_limits.h"
#include "release/url_policy.h"
#include "storage/accepted_sequence.h"
#include "storage/installer_log.h"

namespace {

HeldFilePauses RecordPauses()
{
    return {kTransferLimits.FirstHeldNamePauseMs, kTransferLimits.LastHeldNamePauseMs};
}

// What failed with the sequence record, for its log line.
std::wstring RecordFailure(const std::wstring& directory, const RecordTrouble& trouble)
{
    const std::wstring cause =
        trouble.Error != 0 ? WindowsErrorCause(trouble.Error)
                           : L"a file of " + std::to_wstring(trouble.Size) + L" bytes that holds no record";
    return DescribeFailure(cause, trouble.Stage, directory + L"\\" + kSequenceFileName);
}

// A fingerprint's hex digits, as the record keeps them.
std::string Ascii(const std::wstring& hex)
{
    return std::string(hex.begin(), hex.end());
}

}  // namespace

ManifestRules ManifestRulesNow(unsigned long long minSequence)
{
    return {NowUtcSeconds(), kManifestMaxDays, minSequence, kTransferLimits.InstallerCapBytes, ManifestUrl()};
}

ManifestVerdict CheckSignedManifest(const ByteBuffer& bytes, const std::wstring& directory,
                                    const std::vector<std::wstring>& keys, const ManifestRules& rules,
                                    SignedFields& fields, std::wstring& fault)
{
    SequenceRecord record;
    RecordTrouble trouble;
    if (!LockAndReadAcceptedSequence(directory, RecordPauses(), record, trouble)) {
        AppendLogLine(directory, kLogSequenceUnread + RecordFailure(directory, trouble));
    }
    // A record of an earlier installer names no key: set aside too.
    bool carried = false;
    for (const std::wstring& key : keys) {
        carried = carried || (!record.Held.KeyFingerprint.empty() &&
                              Ascii(KeyFingerprint(key)) == record.Held.KeyFingerprint);
    }
    ManifestRules applied = rules;
    if (carried && record.Held.Sequence > applied.MinSequence) {
        applied.MinSequence = record.Held.Sequence;
    }
    const ManifestVerdict verdict = VerifyManifest(bytes, keys, applied, fields, fault);
    // Only ever higher, unless the record was set aside.
    if (verdict == ManifestVerdict::Verified && record.Writable &&
        (!carried || fields.Sequence > record.Held.Sequence)) {
        AcceptedSequence accepted;
        accepted.Sequence = fields.Sequence;
        accepted.KeyFingerprint = Ascii(fields.KeyFingerprint);
        if (!KeepAcceptedSequence(record, accepted, RecordPauses(), trouble)) {
            AppendLogLine(directory, kLogSequenceUnkept + RecordFailure(directory, trouble));
        }
    }
    return verdict;
}

