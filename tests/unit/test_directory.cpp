#include "test_directory.h"

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
