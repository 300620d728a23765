// A stand-in for a DLL that someone dropped beside the installer: when any
// process loads it, it leaves "<its file name>-was-loaded.txt" next to itself.
// It exports WinHttpCrackUrl so that a program importing winhttp.dll the
// ordinary way can load it, which is what the control in the test shows.
#include <windows.h>

namespace {

void LeaveMark(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 20) {
        return;
    }
    lstrcatW(path, L"-was-loaded.txt");
    HANDLE mark = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark != INVALID_HANDLE_VALUE) {
        CloseHandle(mark);
    }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        LeaveMark(instance);
    }
    return TRUE;
}

extern "C" BOOL WINAPI WinHttpCrackUrl(LPCWSTR, DWORD, DWORD, void*)
{
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
