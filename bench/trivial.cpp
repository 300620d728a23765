// The least a Windows program can do: the start-up cost Wine sets for any
// program built this way.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return 0;
}
