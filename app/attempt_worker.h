#pragma once

#include <windows.h>

// The window's worker: one install attempt in the user's working directory,
// shaped as a thread start routine (the parameter is ignored). It turns what
// the attempt reports into AppState and the three private messages posted
// to MainWindow: WM_INSTALLER_PROGRESS as it goes, InstallerPath once the
// installer's path is formed, then WM_INSTALLER_VERIFIED (InstallerPath
// names the verified file; returns 0) or WM_INSTALLER_FAILED
// (LastFailureText and LastFailureDetail written first; returns 1). With
// MainWindow null (--download-test) nothing is posted.
DWORD WINAPI RunInstallAttempt(LPVOID unused);
