#pragma once

#include <string>

// The highest release manifest sequence this user's installer accepted,
// kept in a small file beside the log, so that a manifest older than one
// already accepted (a rollback) is refused even when the build's own floor
// is lower.
constexpr wchar_t kSequenceFileName[] = L"TAVRO.Installer.sequence";

// The number in `directory`'s file ("N" and CR LF); 0 when the file is
// missing, unreadable or holds anything else.
unsigned long long ReadAcceptedSequence(const std::wstring& directory);

// Keeps `sequence` when it is higher than the one kept: written beside the
// file and moved over it, so the file holds the old number or the new one.
// A failure is ignored: the build's floor still holds.
void KeepAcceptedSequence(const std::wstring& directory, unsigned long long sequence);

// The number a file's text holds: decimal digits, optionally CR LF; false
// for anything else.
bool ParseAcceptedSequence(const std::string& text, unsigned long long& sequence);
