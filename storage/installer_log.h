#pragma once

#include <windows.h>

#include <string>

// File name of the log inside the working directory.
constexpr wchar_t kLogFileName[] = L"TAVRO.Installer.log";

// The exact bytes of one log line: "Y-M-D h:m:s " (no leading zeros), the
// message, CR LF. Each UTF-16 unit up to U+00FF is one byte of the same value,
// anything above is "?", and every LF (inside the message too) becomes CR LF.
std::string FormatLogLine(const SYSTEMTIME& time, const std::wstring& message);

// Appends one time-stamped line to the log in `directory`. Never reports a
// failure: a log that cannot be opened is skipped.
void AppendLogLine(const std::wstring& directory, const std::wstring& message);

// AppendLogLine in the working directory, which it tries to create first.
void WriteLogLine(const std::wstring& message);
