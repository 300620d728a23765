// The least a Windows program can do: the start-up cost Wine sets for any
// program built this way. Given a DLL name, it loads that DLL first, which
// shows what one DLL adds to a start.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    if (commandLine != nullptr && commandLine[0] != L'\0') {
        LoadLibraryW(commandLine);
    }
    return 0;
}
