#include "storage/working_directory.h"

#include <windows.h>

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
