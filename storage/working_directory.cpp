#include "storage/working_directory.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <vector>

std::wstring GetWorkingDirectory()
{
    wchar_t base[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH);
    // A value that does not fit returns the size it would need and leaves the
    // buffer undefined: treat it like a missing variable.
    if (length == 0 || length >= MAX_PATH) {
        base[0] = L'\0';
        GetTempPathW(MAX_PATH, base);
    }
    base[MAX_PATH - 1] = L'\0';

    const std::wstring baseText(base);
    const std::wstring parent = baseText + L"\\TAVRO";
    const std::wstring workingDirectory = parent + L"\\Installer";
    CreateDirectoryW(parent.c_str(), nullptr);
    CreateDirectoryW(workingDirectory.c_str(), nullptr);
    return workingDirectory;
}

HANDLE CreateAttemptFile(const std::wstring& directory, std::wstring& path)
{
    const std::wstring prefix = directory + L"\\TAVRO-Setup-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(GetCurrentThreadId()) + L"-";
    // A name left behind by an earlier process with the same ids is skipped.
    for (unsigned n = 0; n < 100; ++n) {
        const std::wstring candidate = prefix + std::to_wstring(n) + L".partial";
        const HANDLE file = CreateFileW(candidate.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            path = candidate;
            return file;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            return nullptr;
        }
    }
    return nullptr;
}

bool MoveOpenFileOver(HANDLE file, const std::wstring& target)
{
    // FILE_RENAME_INFO ends in the new name; the buffer also holds a NUL.
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::memcpy(buffer.data() + offsetof(FILE_RENAME_INFO, FileName), target.data(), rename->FileNameLength);
    return SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) != FALSE;
}
