#pragma once

#include <windows.h>

#include <string>

// The per-user directory that holds the log and the downloaded installer:
// %LOCALAPPDATA%\TAVRO\Installer, or <temp dir>\TAVRO\Installer when
// LOCALAPPDATA is absent, empty or too long for MAX_PATH. Every call tries to
// create "TAVRO" and "Installer" (failures ignored) and returns the path,
// without a trailing separator, whether or not they exist afterwards.
std::wstring GetWorkingDirectory();

// The file one install attempt downloads into before its bytes are verified:
// a fresh file of its own in `directory`, created exclusively and named so
// that no one would run it ("TAVRO-Setup-<process>-<thread>-<n>.partial").
// It is open for reading, writing and renaming, shared for reading only, so
// no one else can change, rename or delete it while the attempt holds it.
// Returns null when no such file can be created.
HANDLE CreateAttemptFile(const std::wstring& directory, std::wstring& path);

// True for a name CreateAttemptFile gives, and only for such a name:
// "TAVRO-Setup-" + three runs of decimal digits joined by "-" + ".partial".
bool IsAttemptFileName(const std::wstring& name);

// Deletes every attempt file in `directory` that no running attempt holds: a
// running attempt's file is open without delete sharing, so it stays. Files
// that cannot be deleted for another reason stay too, for a later attempt.
void DeleteLeftAttemptFiles(const std::wstring& directory);

// Moves the file open at `file` (opened with DELETE access) to `target`,
// replacing a file there, while the handle keeps its bytes fixed. A target
// that another process holds open cannot be replaced: false.
bool MoveOpenFileOver(HANDLE file, const std::wstring& target);
