#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "release/error_text.h"
#include "release/trust/merkle_proof.h"
#include "release/trust/signed_note.h"

// The third lock: a build with a log setting runs only a manifest that is in
// a public append-only log which independent witnesses have seen, so that a
// manifest signed with a stolen key cannot be shown to one user without
// being there for every monitor to see. It is checked offline, from a small
// proof served beside the manifest (c2sp.org/tlog-proof):
//
//   c2sp.org/tlog-proof@v1
//   extra <base64>       (optional, opaque: never trusted)
//   index <N>            (the entry's place, from 0)
//   <base64 hash>        (the inclusion path, the leaf's sibling first;
//   ...                   none for a tree of one)
//                        (a blank line)
//   <the checkpoint>     (a signed note: the log's signature, the witnesses'
//                         cosignatures)
//
// The entry is the manifest's bytes exactly as served: its leaf hash is
// SHA-256(0x00 || bytes).

// The largest proof read: a path of 64 hashes and the 16 signature lines
// every note reader must take, of the largest kind (post-quantum, nearly
// 5 KB, 7 KB in base64), fit in it with room to spare.
constexpr size_t kMaxLogProofBytes = 256 * 1024;
constexpr size_t kMaxInclusionHashes = 64;

// How far a cosignature's time may lie ahead of this computer's clock. A
// witness stamps its own time, so a time ahead means a clock is wrong: a day
// forgives a user's clock set in the wrong time zone (up to 14 hours) or
// some days without synchronization, and still keeps a witness from dating a
// cosignature years ahead so that the age limit below never ends it.
constexpr long long kCosignatureFutureSlackSeconds = 24 * 60 * 60;

struct LogProof {
    std::vector<unsigned char> Extra;
    uint64_t Index = 0;
    std::vector<MerkleHash> Path;
    std::string Checkpoint;  // the note, verbatim
};

// The proof's lines, nothing verified. On false `fault` names the line that
// broke the format and `proof` is left as it was.
[[nodiscard]] bool ParseLogProof(const std::string& text, LogProof& proof, std::wstring& fault);

// What a build requires of a log proof.
struct LogRules {
    std::string Origin;            // the checkpoint's first line, exactly
    NoteKey LogKey;                // kNoteEd25519
    std::vector<NoteKey> Witnesses;  // kNoteCosignature, one key each
    size_t MinCosignatures = 1;    // of distinct witnesses in Witnesses
    long long NowSeconds = 0;      // UTC, since 1970
    // The oldest cosignature taken. A build passes its manifests' lifetime
    // (kManifestMaxDays): a manifest is logged and cosigned when it is
    // signed, so a proof lasts as long as the manifest it came with.
    long long MaxAgeDays = 0;
};

// What a verified proof says, and all of it that may be used.
struct LoggedManifest {
    uint64_t Index = 0;
    uint64_t TreeSize = 0;
    std::vector<std::string> Cosigners;  // the witnesses that cosigned, in the rules' order
};

// The whole check of a proof, as received, for a manifest's bytes: the
// format; the checkpoint's signature by the log key; its origin; every
// cosignature by a known witness verified, none dated more than the slack
// ahead of NowSeconds or more than MaxAgeDays before it, at least
// MinCosignatures of them (others' lines are skipped); the manifest's leaf
// folded along the path to the checkpoint's root. On false `fault` names the
// check that failed and `logged` is left as it was.
[[nodiscard]] bool VerifyLogProof(const ByteBuffer& manifest, const ByteBuffer& proof, const LogRules& rules,
                                  LoggedManifest& logged, std::wstring& fault);
