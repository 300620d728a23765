#pragma once

#include <windows.h>

enum class LaunchMode { SelfTest, DownloadTest, Windowed };

// Picks the mode from the command-line text by plain, case-sensitive
// substring search: "--self-test" anywhere wins, then "--download-test",
// else the window. A null text means the window.
LaunchMode SelectLaunchMode(const wchar_t* commandLine);

// Offline check of the manifest parser and the URL policy. Needs no network,
// window or file system and writes no log line.
bool RunSelfTest();

// Restricts DLL loading to the system directory and ends the process on heap
// corruption. Must run before anything loads a DLL; each mode then loads the
// delay-loaded DLLs it needs (platform/system_libraries.h). Where the search
// cannot be restricted (Windows 7 without its loader update, Vista), all of
// them are loaded from the system directory at once instead.
void HardenProcess();

// Runs the mode that the command line selects and returns the exit code.
int RunInstaller(HINSTANCE instance, const wchar_t* commandLine, int showCommand);
