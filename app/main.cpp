#include <windows.h>

#include "app/entry_point.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showCommand)
{
    return RunInstaller(instance, commandLine, showCommand);
}
