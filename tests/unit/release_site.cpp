#include "release_site.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>

#include "pattern_file.h"
#include "test_directory.h"

namespace {

std::wstring BedPath(const std::string& relative)
{
    const char* bed = std::getenv("TAVRO_BED_DIR");
    std::string unixPath = std::string(bed ? bed : "/nonexistent") + "/" + relative;
    std::wstring path = L"Z:";
    for (char c : unixPath) {
        path += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return path;
}

void CreateParents(const std::wstring& path)
{
    for (size_t slash = path.find(L'\\', 3); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1)) {
        CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
    }
}

}  // namespace

bool PublishFile(const std::string& urlPath, const ByteBuffer& bytes)
{
    const std::wstring path = BedPath("docroot" + urlPath);
    CreateParents(path);
    return WriteFileBytes(path, bytes);
}

bool PublishText(const std::string& urlPath, const std::string& text)
{
    return PublishFile(urlPath, ByteBuffer(text.begin(), text.end()));
}

void ClearSite()
{
    RemoveDirectoryContents(BedPath("docroot"));
    DeleteFileW(BedPath("rules.json").c_str());
    DeleteFileW(BedPath("requests.log").c_str());
    DeleteFileW(BedPath("sent.log").c_str());
}

std::wstring SmallDisk()
{
    const std::wstring path = BedPath("small-disk");
    RemoveDirectoryContents(path);
    return path;
}

std::string SentLog()
{
    const ByteBuffer bytes = ReadFileBytes(BedPath("sent.log"));
    return std::string(bytes.begin(), bytes.end());
}

std::string RequestsLog()
{
    const ByteBuffer bytes = ReadFileBytes(BedPath("requests.log"));
    return std::string(bytes.begin(), bytes.end());
}

bool SetSiteRules(const std::string& json)
{
    return WriteFileBytes(BedPath("rules.json"), ByteBuffer(json.begin(), json.end()));
}

std::string Sha256Hex(const ByteBuffer& bytes)
{
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32] = {};
    BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash, const_cast<unsigned char*>(bytes.data()), static_cast<ULONG>(bytes.size()), 0);
    BCryptFinishHash(hash, digest, sizeof(digest), 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(provider, 0);
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

namespace {

constexpr wchar_t kConnectionsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr wchar_t kConnectionSettings[] = L"DefaultConnectionSettings";

void AppendDword(ByteBuffer& bytes, DWORD value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<unsigned char>(value >> shift));
    }
}

}  // namespace

ScopedUserProxy::ScopedUserProxy(const std::string& proxy, const std::string& script)
{
    // Magic, a counter, flags (direct, fixed proxy, script); the proxy, the
    // bypass list and the script URL, each a length and its bytes.
    ByteBuffer value;
    AppendDword(value, 0x46);
    AppendDword(value, 0);
    AppendDword(value, 1 | (proxy.empty() ? 0 : 2) | (script.empty() ? 0 : 4));
    for (const std::string& text : {proxy, std::string(), script}) {
        AppendDword(value, static_cast<DWORD>(text.size()));
        value.insert(value.end(), text.begin(), text.end());
    }
    value.resize(value.size() + 32);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExW(key, kConnectionSettings, 0, REG_BINARY, value.data(), static_cast<DWORD>(value.size()));
        RegCloseKey(key);
    }
}

ScopedUserProxy::~ScopedUserProxy()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, kConnectionSettings);
        RegCloseKey(key);
    }
}
