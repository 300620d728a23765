#pragma once

#include <windows.h>

constexpr int IDC_INSTALL_BUTTON = 1;
constexpr int IDI_INSTALLER_ICON = 101;

// Registers the class, creates and shows the window and runs the message loop.
// Returns 1 when the class or the window cannot be created, otherwise the
// quit message's exit value (0).
int RunInstallerWindow(HINSTANCE instance, int showCommand);
