#pragma once

#include <string>
#include <vector>

// Files of tests/data (and the rows the test tree makes of them), reached
// from under Wine through drive Z:.
std::string ReadTestData(const std::string& path);

// The test tree's copy of tests/data/`name`.
std::string SourceDataPath(const std::string& name);

// Hex digits to bytes ("-": none); empty for anything else.
std::vector<unsigned char> HexBytes(const std::string& hex);

// One signature vector: "valid|invalid public-key message signature name".
struct SignatureRow {
    std::string Name;
    bool Valid = false;
    std::vector<unsigned char> PublicKey;
    std::vector<unsigned char> Message;
    std::vector<unsigned char> Signature;
};

// The rows of a vector file; "#" lines are comments.
std::vector<SignatureRow> ReadSignatureRows(const std::string& path);
