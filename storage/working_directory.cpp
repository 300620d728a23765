#include "storage/working_directory.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/scoped_handle.h"
#include "storage/fresh_name.h"

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

namespace {

constexpr wchar_t kAttemptFilePrefix[] = L"TAVRO-Setup-";
constexpr wchar_t kAttemptFileSuffix[] = L".partial";

}  // namespace

bool IsAttemptFileName(const std::wstring& name)
{
    const std::wstring prefix(kAttemptFilePrefix);
    const std::wstring suffix(kAttemptFileSuffix);
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    // <digits>-<digits>-<digits>
    int runs = 0;
    bool inDigits = false;
    for (size_t i = prefix.size(); i < name.size() - suffix.size(); ++i) {
        const wchar_t c = name[i];
        if (c >= L'0' && c <= L'9') {
            runs += inDigits ? 0 : 1;
            inDigits = true;
        } else if (c == L'-' && inDigits && runs < 3) {
            inDigits = false;
        } else {
            return false;
        }
    }
    return runs == 3 && inDigits;
}

void DeleteLeftAttemptFiles(const std::wstring& directory)
{
    WIN32_FIND_DATAW found;
    const std::wstring pattern = directory + L"\\" + kAttemptFilePrefix + L"*" + kAttemptFileSuffix;
    const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        // The pattern also matches other names (and 8.3 short names).
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && IsAttemptFileName(found.cFileName)) {
            DeleteFileW((directory + L"\\" + found.cFileName).c_str());
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

HANDLE CreateAttemptFile(const std::wstring& directory, std::wstring& path)
{
    const std::wstring prefix = directory + L"\\" + kAttemptFilePrefix + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(GetCurrentThreadId()) + L"-";
    HANDLE file = nullptr;
    const auto create = [&file](const std::wstring& candidate) {
        file = NullIfInvalid(CreateFileW(candidate.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        return file != nullptr;
    };
    return CreateUnderFreshName(prefix, kAttemptFileSuffix, create, path) ? file : nullptr;
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
