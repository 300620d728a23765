#include <windows.h>

#include "app/entry_point.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showCommand)
{
    // Before anything can load a DLL: people run this file from their
    // Downloads folder, where anyone may have dropped a DLL beside it.
    HardenProcess();
    return RunInstaller(instance, commandLine, showCommand);
}
