#pragma once

#include <string>

// The per-user directory that holds the log and the downloaded installer:
// %LOCALAPPDATA%\TAVRO\Installer, or <temp dir>\TAVRO\Installer when
// LOCALAPPDATA is absent, empty or too long for MAX_PATH. Every call tries to
// create "TAVRO" and "Installer" (failures ignored) and returns the path,
// without a trailing separator, whether or not they exist afterwards.
std::wstring GetWorkingDirectory();
