// The control for the planting test: imports winhttp.dll the ordinary way,
// so Windows resolves it (beside the program first) before main runs.
#include <windows.h>
#include <winhttp.h>

int main()
{
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    return WinHttpCrackUrl(L"https://example.invalid/", 0, 0, &parts) ? 0 : 1;
}
