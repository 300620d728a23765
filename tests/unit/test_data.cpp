#include "test_data.h"

#include <sstream>

#include "pattern_file.h"

std::string ReadTestData(const std::string& path)
{
    std::wstring windowsPath = path[0] == '/' ? L"Z:" : L"";
    for (char c : path) {
        windowsPath += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    const ByteBuffer bytes = ReadFileBytes(windowsPath);
    return std::string(bytes.begin(), bytes.end());
}

std::string SourceDataPath(const std::string& name)
{
    return std::string(TAVRO_TEST_DATA_DIR) + "/" + name;
}

std::vector<unsigned char> HexBytes(const std::string& hex)
{
    std::vector<unsigned char> bytes;
    if (hex == "-" || hex.size() % 2 != 0) {
        return bytes;
    }
    for (size_t i = 0; i < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::vector<SignatureRow> ReadSignatureRows(const std::string& path)
{
    std::vector<SignatureRow> rows;
    std::istringstream lines(ReadTestData(path));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string expected, key, message, signature;
        SignatureRow row;
        fields >> expected >> key >> message >> signature;
        std::getline(fields >> std::ws, row.Name);
        row.Valid = expected == "valid";
        row.PublicKey = HexBytes(key);
        row.Message = HexBytes(message);
        row.Signature = HexBytes(signature);
        rows.push_back(row);
    }
    return rows;
}
