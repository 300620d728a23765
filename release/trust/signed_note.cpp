#include "release/trust/signed_note.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

#include "release/failure_detail.h"
#include "release/manifest.h"
#include "release/trust/ed25519.h"
#include "release/trust/manifest_signature.h"
#include "release/trust/package_verification.h"

namespace {

constexpr char kSignaturePrefix[] = "\xE2\x80\x94 ";  // U+2014, a space
constexpr uint64_t kLatestTime = 0x7FFFFFFFFFFFFFFFULL;

std::wstring Wide(const std::string& utf8)
{
    return Utf8ToWide(ByteBuffer(utf8.begin(), utf8.end()));
}

// Unicode's White_Space characters.
bool IsUnicodeSpace(wchar_t c)
{
    return c <= 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Not empty, UTF-8, no space of any kind and no "+".
bool IsKeyName(const std::string& name)
{
    const std::wstring wide = Wide(name);
    return !wide.empty() && std::none_of(wide.begin(), wide.end(), [](wchar_t c) {
        return IsUnicodeSpace(c) || c == L'+';
    });
}

uint32_t BigEndian32(const unsigned char* bytes)
{
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

bool ParseHex32(const std::string& text, uint32_t& value)
{
    if (text.size() != 8) {
        return false;
    }
    value = 0;
    for (char c : text) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) {
            return false;
        }
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return true;
}

bool VerifyBytes(const NoteKey& key, const std::string& message, const unsigned char* signature)
{
    return VerifyEd25519(key.PublicKey.data(), reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         signature);
}

}  // namespace

bool NoteKeyId(const std::string& name, unsigned char type, const unsigned char publicKey[32], uint32_t& id)
{
    std::vector<unsigned char> input(name.begin(), name.end());
    input.push_back(0x0A);
    input.push_back(type);
    input.insert(input.end(), publicKey, publicKey + 32);
    std::vector<unsigned char> digest;
    if (!HashBytes(BCRYPT_SHA256_ALGORITHM, input.data(), input.size(), digest) || digest.size() < 4) {
        return false;
    }
    id = BigEndian32(digest.data());
    return true;
}

bool ParseVerifierKey(const std::string& text, unsigned char type, NoteKey& key, std::wstring& fault)
{
    // base64 may hold "+" itself: the first two split the three parts.
    const size_t first = text.find('+');
    const size_t second = first == std::string::npos ? first : text.find('+', first + 1);
    if (second == std::string::npos) {
        fault = L"verifier key " + QuotedNoteText(text) + L": not name+keyid+key";
        return false;
    }
    NoteKey read;
    read.Name = text.substr(0, first);
    read.Type = type;
    uint32_t id = 0;
    std::vector<unsigned char> encoded;
    if (!IsKeyName(read.Name)) {
        fault = L"verifier key " + QuotedNoteText(text) + L": a name empty or with a space or \"+\"";
        return false;
    }
    if (!ParseHex32(text.substr(first + 1, second - first - 1), id)) {
        fault = L"verifier key of " + QuotedNoteText(read.Name) + L": a key ID that is not 8 hex digits";
        return false;
    }
    if (!DecodeNoteBase64(text.substr(second + 1), encoded) || encoded.size() != 33 || encoded[0] != type) {
        fault = L"verifier key of " + QuotedNoteText(read.Name) + L": not base64 of type " + std::to_wstring(type) +
                L" and a 32-byte Ed25519 key";
        return false;
    }
    if (!IsEd25519Point(encoded.data() + 1)) {
        fault = L"verifier key of " + QuotedNoteText(read.Name) + L": a key that is not an Ed25519 point";
        return false;
    }
    std::copy(encoded.begin() + 1, encoded.end(), read.PublicKey.begin());
    if (!NoteKeyId(read.Name, type, read.PublicKey.data(), read.Id) || read.Id != id) {
        fault = L"verifier key of " + QuotedNoteText(read.Name) + L": a key ID that is not its key's";
        return false;
    }
    key = read;
    return true;
}

bool ParseSignedNote(const std::string& note, SignedNote& parsed, std::wstring& fault)
{
    if (note.empty() || Wide(note).empty()) {
        fault = L"a note that is not UTF-8 text";
        return false;
    }
    const auto isControl = [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\n'; };
    if (std::any_of(note.begin(), note.end(), isControl)) {
        fault = L"a note with a control character";
        return false;
    }
    const size_t blank = note.rfind("\n\n");
    if (blank == std::string::npos || note.back() != '\n') {
        fault = L"a note without a blank line and signature lines after it";
        return false;
    }
    SignedNote read;
    read.Text = note.substr(0, blank + 1);
    const size_t prefix = sizeof(kSignaturePrefix) - 1;
    for (size_t start = blank + 2; start < note.size();) {
        const size_t end = note.find('\n', start);
        const std::string line = note.substr(start, end - start);
        start = end + 1;
        if (read.Signatures.size() == kMaxNoteSignatures) {
            fault = L"a note with more than " + std::to_wstring(kMaxNoteSignatures) + L" signature lines";
            return false;
        }
        const size_t space = line.find(' ', prefix);
        NoteSignature signature;
        std::vector<unsigned char> bytes;
        if (line.compare(0, prefix, kSignaturePrefix) != 0 || space == std::string::npos) {
            fault = L"signature line " + QuotedNoteText(line) + L": not \"\u2014 name signature\"";
            return false;
        }
        signature.Name = line.substr(prefix, space - prefix);
        if (!IsKeyName(signature.Name)) {
            fault = L"signature line " + QuotedNoteText(line) + L": a name with a space or \"+\"";
            return false;
        }
        if (!DecodeNoteBase64(line.substr(space + 1), bytes) || bytes.size() < 5) {
            fault = L"signature line of " + QuotedNoteText(signature.Name) +
                    L": not base64 of a key ID and a signature";
            return false;
        }
        signature.Id = BigEndian32(bytes.data());
        signature.Bytes.assign(bytes.begin() + 4, bytes.end());
        read.Signatures.push_back(signature);
    }
    if (read.Signatures.empty()) {
        fault = L"a note without a blank line and signature lines after it";
        return false;
    }
    parsed = read;
    return true;
}

NoteSignatureVerdict VerifyNoteSignature(const SignedNote& note, const NoteKey& key, uint64_t& timestamp)
{
    const auto line = std::find_if(note.Signatures.begin(), note.Signatures.end(), [&key](const NoteSignature& s) {
        return s.Name == key.Name && s.Id == key.Id;
    });
    if (line == note.Signatures.end()) {
        return NoteSignatureVerdict::Absent;
    }
    const std::vector<unsigned char>& bytes = line->Bytes;
    if (key.Type == kNoteEd25519) {
        return bytes.size() == 64 && VerifyBytes(key, note.Text, bytes.data()) ? NoteSignatureVerdict::Verified
                                                                               : NoteSignatureVerdict::Failed;
    }
    if (key.Type != kNoteCosignature || bytes.size() != 8 + 64) {
        return NoteSignatureVerdict::Failed;
    }
    uint64_t time = 0;
    for (size_t i = 0; i < 8; ++i) {
        time = (time << 8) | bytes[i];
    }
    if (time > kLatestTime ||
        !VerifyBytes(key, "cosignature/v1\ntime " + std::to_string(time) + "\n" + note.Text, bytes.data() + 8)) {
        return NoteSignatureVerdict::Failed;
    }
    timestamp = time;
    return NoteSignatureVerdict::Verified;
}

bool ParseCheckpoint(const std::string& text, Checkpoint& checkpoint, std::wstring& fault)
{
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    Checkpoint read;
    std::vector<unsigned char> root;
    if (lines.size() < 3 || text.back() != '\n') {
        fault = L"a checkpoint of fewer than three lines";
        return false;
    }
    read.Origin = lines[0];
    if (read.Origin.empty()) {
        fault = L"a checkpoint without an origin";
        return false;
    }
    if (!ParseDecimal(lines[1], read.TreeSize)) {
        fault = L"checkpoint tree size " + QuotedNoteText(lines[1]) + L", not a decimal number";
        return false;
    }
    if (!DecodeNoteBase64(lines[2], root) || root.size() != read.RootHash.size()) {
        fault = L"checkpoint root hash " + QuotedNoteText(lines[2]) + L", not base64 of 32 bytes";
        return false;
    }
    std::copy(root.begin(), root.end(), read.RootHash.begin());
    read.Extensions.assign(lines.begin() + 3, lines.end());
    if (std::any_of(read.Extensions.begin(), read.Extensions.end(), [](const std::string& l) { return l.empty(); })) {
        fault = L"a checkpoint with an empty line";
        return false;
    }
    checkpoint = read;
    return true;
}

bool ParseDecimal(const std::string& text, uint64_t& value)
{
    if (text.empty() || text.size() > 20 || (text[0] == '0' && text.size() > 1)) {
        return false;
    }
    uint64_t read = 0;
    for (char c : text) {
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (c < '0' || c > '9' || read > (UINT64_MAX - digit) / 10) {
            return false;
        }
        read = read * 10 + digit;
    }
    value = read;
    return true;
}

bool DecodeNoteBase64(const std::string& text, std::vector<unsigned char>& bytes)
{
    // Byte for byte, so a non-ASCII byte stays outside the alphabet.
    std::wstring wide;
    for (char c : text) {
        wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return DecodeBase64(wide, bytes);
}

std::wstring QuotedNoteText(const std::string& text)
{
    return L"\"" + TextForLog(Wide(text)) + L"\"";
}
