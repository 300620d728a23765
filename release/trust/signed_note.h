#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "release/trust/merkle_proof.h"

// Signed notes, transparency-log checkpoints and witness cosignatures as the
// C2SP formats write them (c2sp.org/signed-note, tlog-checkpoint,
// tlog-cosignature), read and verified only. All text is UTF-8 bytes.
//
// A note is its text (ending in a newline), a blank line, then lines
// "— <key name> <base64(4-byte key ID || signature)>" (U+2014). A key ID is
// the first four bytes, big-endian, of SHA-256(name || 0x0A || type || key).
//
// Two signature types are read, both Ed25519: 0x01, a plain note signature,
// for the log's own key; 0x04, a cosignature/v1, for the witnesses. The log
// key is never ECDSA P-256, although CNG would verify it: the registered
// ECDSA type (0x02) is the one of a single implementation, with a key ID
// over the DER key instead of the rule above and a signature encoding of its
// own; witnesses cosign with Ed25519 only (0x04), so Ed25519 is needed
// anyway; and the note format asks verifiers to support only the types
// their design needs. One algorithm is one less way to accept a note.

constexpr unsigned char kNoteEd25519 = 0x01;
constexpr unsigned char kNoteCosignature = 0x04;

// The most signature lines a note may carry (the format asks for at least
// 16; unknown ones are skipped, but each costs a line).
constexpr size_t kMaxNoteSignatures = 100;

// A key a note may be signed with, as the build knows it.
struct NoteKey {
    std::string Name;
    unsigned char Type = 0;  // kNoteEd25519 or kNoteCosignature
    uint32_t Id = 0;
    std::array<unsigned char, 32> PublicKey = {};
};

// SHA-256(name || 0x0A || type || publicKey), its first four bytes read
// big-endian. False when CNG could not hash.
[[nodiscard]] bool NoteKeyId(const std::string& name, unsigned char type, const unsigned char publicKey[32],
                             uint32_t& id);

// A verifier key "<name>+<8 hex digits: the key ID>+<base64(type || 32-byte
// Ed25519 key)>" whose type byte is `type` and whose key ID is the key's.
// On false `fault` names what is wrong and `key` is left as it was.
[[nodiscard]] bool ParseVerifierKey(const std::string& text, unsigned char type, NoteKey& key,
                                    std::wstring& fault);

// One signature line: the key name, the key ID and the bytes after it.
struct NoteSignature {
    std::string Name;
    uint32_t Id = 0;
    std::vector<unsigned char> Bytes;
};

struct SignedNote {
    std::string Text;  // up to and with the newline before the blank line
    std::vector<NoteSignature> Signatures;
};

// The note cut into its text and signature lines, nothing verified: valid
// UTF-8 without control characters but LF, split at its last blank line,
// 1 to kMaxNoteSignatures lines each "— name base64", the name without
// spaces or "+", at least one byte after the key ID. On false `fault` says
// which rule was broken.
[[nodiscard]] bool ParseSignedNote(const std::string& note, SignedNote& parsed, std::wstring& fault);

enum class NoteSignatureVerdict {
    Absent,    // no line has the key's name and key ID: others' lines are skipped
    Verified,
    Failed,    // the key's line does not verify
};

// The note's first line with `key`'s name and key ID, verified. For
// kNoteEd25519 the bytes are the signature of the text. For
// kNoteCosignature they are an 8-byte big-endian time (below 2^63) and the
// signature of "cosignature/v1\ntime <time>\n" followed by the text; on
// Verified `timestamp` receives that time (seconds since 1970, UTC).
NoteSignatureVerdict VerifyNoteSignature(const SignedNote& note, const NoteKey& key, uint64_t& timestamp);

struct Checkpoint {
    std::string Origin;
    uint64_t TreeSize = 0;
    MerkleHash RootHash = {};
    std::vector<std::string> Extensions;  // opaque: not part of what is checked
};

// A checkpoint's lines from a note's text: the origin (not empty), the tree
// size (decimal), the root hash (base64 of 32 bytes), then extension lines,
// none empty. Read it only from a note whose signature verified. On false
// `fault` names the line.
[[nodiscard]] bool ParseCheckpoint(const std::string& text, Checkpoint& checkpoint, std::wstring& fault);

// A decimal number with no leading zero (but "0" itself) that fits 64 bits.
bool ParseDecimal(const std::string& text, uint64_t& value);

// Strict base64 (RFC 4648, padded); false for anything else.
bool DecodeNoteBase64(const std::string& text, std::vector<unsigned char>& bytes);

// UTF-8 text as a log line may hold it (TextForLog), in quotes.
std::wstring QuotedNoteText(const std::string& text);
