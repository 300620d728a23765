#include "test_directory.h"

#include <fstream>
#include <iterator>

#include <vector>

void RemoveTree(const std::wstring& path)
{
    RemoveDirectoryContents(path);
    RemoveDirectoryW(path.c_str());
}

void RemoveDirectoryContents(const std::wstring& path)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
}

TestDirectory::TestDirectory()
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    static unsigned counter = 0;
    path_ = std::wstring(temp) + L"tavro-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter);
    RemoveTree(path_);
    CreateDirectoryW(path_.c_str(), nullptr);
}

TestDirectory::~TestDirectory()
{
    RemoveTree(path_);
}

ScopedLocalAppData::ScopedLocalAppData(const wchar_t* value)
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
    hadValue_ = length != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    saved_.assign(buffer.data(), length);
    SetEnvironmentVariableW(L"LOCALAPPDATA", value);
}

ScopedLocalAppData::~ScopedLocalAppData()
{
    SetEnvironmentVariableW(L"LOCALAPPDATA", hadValue_ ? saved_.c_str() : nullptr);
}

bool DirectoryExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::vector<std::string> LogMessages(const std::wstring& workingDirectory)
{
    std::ifstream in((workingDirectory + L"\\TAVRO.Installer.log").c_str(), std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < log.size()) {
        const size_t end = log.find("\r\n", start);
        const std::string line = log.substr(start, end - start);
        const size_t afterTime = line.find(' ', line.find(' ') + 1);
        messages.push_back(line.substr(afterTime + 1));
        start = end == std::string::npos ? log.size() : end + 2;
    }
    return messages;
}
