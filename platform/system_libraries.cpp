#include "platform/system_libraries.h"

#include <windows.h>

#include <cwchar>

void LoadFromSystemDirectory(const wchar_t* fileName)
{
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 1 + std::wcslen(fileName) >= MAX_PATH) {
        return;
    }
    path[length] = L'\\';
    std::wcscpy(path + length + 1, fileName);
    LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
