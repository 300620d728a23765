#include "release/trust/log_proof.h"

#include <algorithm>

namespace {

constexpr char kHeader[] = "c2sp.org/tlog-proof@v1";
constexpr char kExtraPrefix[] = "extra ";
constexpr char kIndexPrefix[] = "index ";

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The line at `start` (without its newline) and where the next begins;
// false when no newline ends it.
bool NextLine(const std::string& text, size_t& start, std::string& line)
{
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
        return false;
    }
    line = text.substr(start, end - start);
    start = end + 1;
    return true;
}

std::wstring Plural(size_t count, const wchar_t* one, const wchar_t* many)
{
    return std::to_wstring(count) + L" " + (count == 1 ? one : many);
}

}  // namespace

bool ParseLogProof(const std::string& text, LogProof& proof, std::wstring& fault)
{
    LogProof read;
    size_t at = 0;
    std::string line;
    if (!NextLine(text, at, line) || line != kHeader) {
        fault = L"a log proof without the line \"c2sp.org/tlog-proof@v1\" first";
        return false;
    }
    if (!NextLine(text, at, line)) {
        line.clear();
    }
    if (StartsWith(line, kExtraPrefix)) {
        if (!DecodeNoteBase64(line.substr(sizeof(kExtraPrefix) - 1), read.Extra)) {
            fault = L"a log proof's extra data that is not base64";
            return false;
        }
        if (!NextLine(text, at, line)) {
            line.clear();
        }
    }
    if (!StartsWith(line, kIndexPrefix) || !ParseDecimal(line.substr(sizeof(kIndexPrefix) - 1), read.Index)) {
        fault = L"log proof line " + QuotedNoteText(line) + L", not \"index\" and a decimal number";
        return false;
    }
    while (NextLine(text, at, line) && !line.empty()) {
        std::vector<unsigned char> hash;
        if (!DecodeNoteBase64(line, hash) || hash.size() != MerkleHash().size()) {
            fault = L"log proof line " + QuotedNoteText(line) + L", not base64 of a 32-byte hash";
            return false;
        }
        if (read.Path.size() == kMaxInclusionHashes) {
            fault = L"a log proof of more than " + std::to_wstring(kMaxInclusionHashes) + L" hashes";
            return false;
        }
        read.Path.emplace_back();
        std::copy(hash.begin(), hash.end(), read.Path.back().begin());
    }
    if (!line.empty() || at >= text.size()) {
        fault = L"a log proof without a blank line and a checkpoint after its hashes";
        return false;
    }
    read.Checkpoint = text.substr(at);
    proof = read;
    return true;
}

bool VerifyLogProof(const ByteBuffer& manifest, const ByteBuffer& proofBytes, const LogRules& rules,
                    LoggedManifest& logged, std::wstring& fault)
{
    if (proofBytes.size() > kMaxLogProofBytes) {
        fault = L"a log proof of " + std::to_wstring(proofBytes.size()) + L" bytes, more than " +
                std::to_wstring(kMaxLogProofBytes);
        return false;
    }
    LogProof proof;
    SignedNote note;
    if (!ParseLogProof(std::string(proofBytes.begin(), proofBytes.end()), proof, fault) ||
        !ParseSignedNote(proof.Checkpoint, note, fault)) {
        return false;
    }
    // Nothing of the note is read before the log's signature verified.
    uint64_t unused = 0;
    const NoteSignatureVerdict signedByLog = VerifyNoteSignature(note, rules.LogKey, unused);
    if (signedByLog != NoteSignatureVerdict::Verified) {
        fault = signedByLog == NoteSignatureVerdict::Absent
                    ? L"no checkpoint signature by the log key "
                    : L"a checkpoint signature that the log key does not verify: ";
        fault += QuotedNoteText(rules.LogKey.Name);
        return false;
    }
    Checkpoint checkpoint;
    if (!ParseCheckpoint(note.Text, checkpoint, fault)) {
        return false;
    }
    if (checkpoint.Origin != rules.Origin) {
        fault = L"checkpoint origin " + QuotedNoteText(checkpoint.Origin) + L", not " + QuotedNoteText(rules.Origin);
        return false;
    }
    LoggedManifest read;
    for (const NoteKey& witness : rules.Witnesses) {
        uint64_t time = 0;
        const NoteSignatureVerdict verdict = VerifyNoteSignature(note, witness, time);
        if (verdict == NoteSignatureVerdict::Absent) {
            continue;
        }
        const std::wstring by = L"a cosignature by " + QuotedNoteText(witness.Name);
        if (verdict == NoteSignatureVerdict::Failed) {
            fault = by + L" that does not verify";
            return false;
        }
        // Below 2^63: a verified cosignature's time is.
        const long long seconds = static_cast<long long>(time);
        if (seconds > rules.NowSeconds && seconds - rules.NowSeconds > kCosignatureFutureSlackSeconds) {
            const size_t hours = static_cast<size_t>((seconds - rules.NowSeconds) / 3600);
            fault = by + L" dated " + Plural(hours, L"hour", L"hours") + L" ahead of this computer's clock, more than " +
                    std::to_wstring(kCosignatureFutureSlackSeconds / 3600);
            return false;
        }
        if (seconds < rules.NowSeconds && rules.NowSeconds - seconds > rules.MaxAgeDays * 86400) {
            fault = by + L" " + Plural(static_cast<size_t>((rules.NowSeconds - seconds) / 86400), L"day", L"days") +
                    L" old, more than " + std::to_wstring(rules.MaxAgeDays);
            return false;
        }
        read.Cosigners.push_back(witness.Name);
    }
    if (read.Cosigners.size() < rules.MinCosignatures) {
        fault = L"cosignatures by " + std::to_wstring(read.Cosigners.size()) + L" of the build's " +
                Plural(rules.Witnesses.size(), L"witness", L"witnesses") + L", fewer than the " +
                std::to_wstring(rules.MinCosignatures) + L" required";
        return false;
    }
    MerkleHash leaf;
    std::wstring path;
    if (!MerkleLeafHash(manifest.data(), manifest.size(), leaf) ||
        !VerifyInclusionProof(proof.Index, checkpoint.TreeSize, leaf, proof.Path, checkpoint.RootHash, path)) {
        fault = L"the manifest not in the checkpoint's tree: ";
        fault += path.empty() ? L"SHA-256 could not be computed" : path;
        return false;
    }
    read.Index = proof.Index;
    read.TreeSize = checkpoint.TreeSize;
    logged = read;
    return true;
}
