#include "release/trust/signed_note.h"

#include <gtest/gtest.h>

#include <sstream>

#include "release/manifest.h"
#include "test_data.h"

namespace {

std::wstring Wide(const std::string& utf8)
{
    return Utf8ToWide(ByteBuffer(utf8.begin(), utf8.end()));
}

// One base64 character of the line that starts with `name` replaced by another.
std::string ChangeLine(std::string note, const std::string& name)
{
    char& c = note[note.find(name) + name.size() + 30];
    c = c == 'A' ? 'B' : 'A';
    return note;
}

// The checkpoint note of a proof tests/data/log_proof holds.
std::string CheckpointOf(const std::string& proofName)
{
    const std::string proof = ReadTestData(SourceDataPath("log_proof/" + proofName + ".tlog-proof"));
    return proof.substr(proof.find("\n\n") + 2);
}

NoteKey KeyOf(const std::string& line, unsigned char type)
{
    NoteKey key;
    std::wstring fault;
    EXPECT_TRUE(ParseVerifierKey(line.substr(line.find(' ') + 1), type, key, fault)) << line;
    return key;
}

// Line `number` (from 0) of tests/data/log_proof/keys.txt that starts with `role`.
NoteKey TestKey(const std::string& role, size_t number = 0)
{
    std::istringstream lines(ReadTestData(SourceDataPath("log_proof/keys.txt")));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, role.size() + 1, role + " ") == 0 && number-- == 0) {
            return KeyOf(line, role == "log" ? kNoteEd25519 : kNoteCosignature);
        }
    }
    ADD_FAILURE() << "no key " << role;
    return NoteKey();
}

const char kSignature[] = "\xE2\x80\x94 ";
const std::string kRoot = "chinT4toBtZxkxX/I3eLodWEQfDiQNdH8Mg9bGgTlUY=";

}  // namespace

TEST(ParseVerifierKey, KeysOfOtherImplementations)
{
    std::istringstream lines(ReadTestData(SourceDataPath("note_keys.txt")));
    std::string line;
    size_t count = 0;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != '#') {
            // Parsed only where the key ID computed here is the one they wrote.
            const NoteKey key = KeyOf(line, line[0] == '1' ? kNoteEd25519 : kNoteCosignature);
            EXPECT_EQ(key.Name, line.substr(2, line.find('+') - 2)) << line;
            ++count;
        }
    }
    EXPECT_EQ(count, 4u);
}

TEST(ParseVerifierKey, EachFaultNamesItsRule)
{
    const std::string peter = "PeterNeumann+c74f20a3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW";
    struct Row {
        const char* name;
        std::string key;
        unsigned char type;
        std::string fault;
    };
    const Row rows[] = {
        {"another key ID", "PeterNeumann+c74f20a4+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW", kNoteEd25519,
         "verifier key of \"PeterNeumann\": a key ID that is not its key's"},
        {"read as a cosignature key", peter, kNoteCosignature,
         "verifier key of \"PeterNeumann\": not base64 of type 4 and a 32-byte Ed25519 key"},
        {"a key short", peter.substr(0, peter.size() - 4), kNoteEd25519,
         "verifier key of \"PeterNeumann\": not base64 of type 1 and a 32-byte Ed25519 key"},
        {"a y without a square root", "PeterNeumann+c74f20a3+AQIAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
         kNoteEd25519, "verifier key of \"PeterNeumann\": a key that is not an Ed25519 point"},
        {"a y of p + 1", "PeterNeumann+c74f20a3+Ae7///////////////////////////////////////9/", kNoteEd25519,
         "verifier key of \"PeterNeumann\": a key that is not an Ed25519 point"},
        {"no key", "PeterNeumann+c74f20a3", kNoteEd25519,
         "verifier key \"PeterNeumann+c74f20a3\": not name+keyid+key"},
        {"seven hex digits", "PeterNeumann+c74f20a+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW", kNoteEd25519,
         "verifier key of \"PeterNeumann\": a key ID that is not 8 hex digits"},
        {"no name", peter.substr(12), kNoteEd25519,
         "verifier key \"" + peter.substr(12) + "\": a name empty or with a space or \"+\""},
        {"a space in the name", "Peter " + peter, kNoteEd25519,
         "verifier key \"Peter " + peter + "\": a name empty or with a space or \"+\""},
    };
    for (const Row& row : rows) {
        NoteKey key;
        std::wstring fault;
        EXPECT_FALSE(ParseVerifierKey(row.key, row.type, key, fault)) << row.name;
        EXPECT_EQ(fault, Wide(row.fault)) << row.name;
    }
}

TEST(ParseSignedNote, EachFaultNamesItsRule)
{
    const std::string line = std::string(kSignature) + "example.com/log AAAAAAA=\n";  // key ID 0, one byte
    std::string hundred;
    for (int i = 0; i < 100; ++i) {
        hundred += line;
    }
    struct Row {
        const char* name;
        std::string note;
        std::string fault;  // empty: parsed
        std::string text = "";
        size_t signatures = 0;
    };
    const Row rows[] = {
        {"one line", "text\n\n" + line, "", "text\n", 1},
        {"split at the last blank line", "a\n\nb\n\n" + line + line, "", "a\n\nb\n", 2},
        {"a hundred lines", "text\n\n" + hundred, "", "text\n", 100},
        {"a hundred and one", "text\n\n" + hundred + line, "a note with more than 100 signature lines"},
        {"no blank line", "text\n" + line, "a note without a blank line and signature lines after it"},
        {"no signature", "text\n\n", "a note without a blank line and signature lines after it"},
        {"no newline last", "text\n\n" + line.substr(0, line.size() - 1),
         "a note without a blank line and signature lines after it"},
        {"a CR", "text\r\n\n" + line, "a note with a control character"},
        {"not UTF-8", "te\xFFxt\n\n" + line, "a note that is not UTF-8 text"},
        {"a hyphen for the dash", "text\n\n- example.com/log AAAAAAA=\n",
         "signature line \"- example.com/log AAAAAAA=\": not \"\xE2\x80\x94 name signature\""},
        {"a plus in the name", "text\n\n" + std::string(kSignature) + "a+b AAAAAAA=\n",
         "signature line \"\xE2\x80\x94 a+b AAAAAAA=\": a name with a space or \"+\""},
        {"four bytes only", "text\n\n" + std::string(kSignature) + "example.com/log AAAAAA==\n",
         "signature line of \"example.com/log\": not base64 of a key ID and a signature"},
    };
    for (const Row& row : rows) {
        SignedNote note;
        std::wstring fault;
        EXPECT_EQ(ParseSignedNote(row.note, note, fault), row.fault.empty()) << row.name;
        EXPECT_EQ(fault, Wide(row.fault)) << row.name;
        if (row.fault.empty()) {
            EXPECT_EQ(note.Text, row.text) << row.name;
            EXPECT_EQ(note.Signatures.size(), row.signatures) << row.name;
            EXPECT_EQ(note.Signatures[0].Name, "example.com/log") << row.name;
            EXPECT_EQ(note.Signatures[0].Bytes.size(), 1u) << row.name;
        }
    }
}

TEST(ParseCheckpoint, EachFaultNamesItsLine)
{
    struct Row {
        const char* name;
        std::string text;
        std::string fault;  // empty: parsed
        uint64_t size = 0;
        size_t extensions = 0;
    };
    const Row rows[] = {
        {"three lines", "example.com/log\n11\n" + kRoot + "\n", "", 11, 0},
        {"an extension line", "example.com/log\n0\n" + kRoot + "\nmore\n", "", 0, 1},
        {"the largest size", "o\n18446744073709551615\n" + kRoot + "\n", "", 18446744073709551615ULL, 0},
        {"two lines", "example.com/log\n11\n", "a checkpoint of fewer than three lines"},
        {"no origin", "\n11\n" + kRoot + "\n", "a checkpoint without an origin"},
        {"a leading zero", "o\n011\n" + kRoot + "\n", "checkpoint tree size \"011\", not a decimal number"},
        {"a sign", "o\n+11\n" + kRoot + "\n", "checkpoint tree size \"+11\", not a decimal number"},
        {"past 64 bits", "o\n18446744073709551616\n" + kRoot + "\n",
         "checkpoint tree size \"18446744073709551616\", not a decimal number"},
        {"a short root", "o\n11\nAAAA\n", "checkpoint root hash \"AAAA\", not base64 of 32 bytes"},
        {"an empty extension", "o\n11\n" + kRoot + "\n\n", "a checkpoint with an empty line"},
    };
    for (const Row& row : rows) {
        Checkpoint checkpoint;
        std::wstring fault;
        EXPECT_EQ(ParseCheckpoint(row.text, checkpoint, fault), row.fault.empty()) << row.name;
        EXPECT_EQ(fault, Wide(row.fault)) << row.name;
        if (row.fault.empty()) {
            EXPECT_EQ(checkpoint.TreeSize, row.size) << row.name;
            EXPECT_EQ(checkpoint.Extensions.size(), row.extensions) << row.name;
            EXPECT_EQ(checkpoint.RootHash[0], 0x72) << row.name;  // "ch..."
        }
    }
}

// Only a line with the key's name and key ID counts; its bytes decide.
TEST(VerifyNoteSignature, TheKeysLineDecides)
{
    const NoteKey peter = KeyOf("1 PeterNeumann+c74f20a3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW", kNoteEd25519);
    const std::string goNote = ReadTestData(SourceDataPath("peter_neumann.note"));
    const NoteKey log = TestKey("log");
    const NoteKey witness = TestKey("witness");
    NoteKey witnessAsLogKey = witness;
    witnessAsLogKey.Type = kNoteEd25519;
    EXPECT_TRUE(NoteKeyId(witness.Name, kNoteEd25519, witness.PublicKey.data(), witnessAsLogKey.Id));
    NoteKey renamed = log;
    renamed.Name = "log.tavro.example/other";
    std::string changedText = CheckpointOf("valid");
    changedText[4] ^= 0x01;
    struct Row {
        const char* name;
        std::string note;
        NoteKey key;
        NoteSignatureVerdict verdict;
        uint64_t time;
    };
    const Row rows[] = {
        {"Go's example note", goNote, peter, NoteSignatureVerdict::Verified, 0},
        {"Go's note changed", "Ig" + goNote.substr(2), peter, NoteSignatureVerdict::Failed, 0},
        {"the log's signature", CheckpointOf("valid"), log, NoteSignatureVerdict::Verified, 0},
        {"a cosignature", CheckpointOf("valid"), witness, NoteSignatureVerdict::Verified, 1796770800},
        {"the text changed", changedText, log, NoteSignatureVerdict::Failed, 0},
        {"a cosignature changed", ChangeLine(CheckpointOf("valid"), witness.Name), witness,
         NoteSignatureVerdict::Failed, 0},
        {"the witness as a plain note key", CheckpointOf("valid"), witnessAsLogKey, NoteSignatureVerdict::Absent, 0},
        {"another name, the same key", CheckpointOf("valid"), renamed, NoteSignatureVerdict::Absent, 0},
        {"a time past 2^63", CheckpointOf("time-too-large"), witness, NoteSignatureVerdict::Failed, 0},
    };
    for (const Row& row : rows) {
        SignedNote note;
        std::wstring fault;
        ASSERT_TRUE(ParseSignedNote(row.note, note, fault)) << row.name;
        uint64_t time = 0;
        EXPECT_EQ(VerifyNoteSignature(note, row.key, time), row.verdict) << row.name;
        EXPECT_EQ(time, row.time) << row.name;
    }
}
