#pragma once

#include <windows.h>

#include <string>

#include "platform/scoped_handle.h"

// The highest release manifest sequence this user's installer accepted, and
// the key that verified it, kept in a small file beside the log, so that a
// manifest older than one already accepted (a rollback) is refused even when
// the build's own floor is lower. The key is kept so that a build that no
// longer carries it can set the record aside: a key that leaked and signed
// an absurd sequence must not lock users out once it is rotated out.
constexpr wchar_t kSequenceFileName[] = L"TAVRO.Installer.sequence";

struct AcceptedSequence {
    unsigned long long Sequence = 0;
    // SHA-256 (lower-case hex) of the verifying key's SubjectPublicKeyInfo;
    // empty in a record an earlier installer wrote, which named no key.
    std::string KeyFingerprint;
};

// The record a file's text holds: "N fingerprint" (decimal digits, one
// space, 64 lower-case hex digits), or an earlier installer's "N" alone,
// each optionally ended by CR LF; false for anything else.
bool ParseAcceptedSequence(const std::string& text, AcceptedSequence& record);

// "N fingerprint" and CR LF.
std::string FormatAcceptedSequence(const AcceptedSequence& record);

// A record held open by another program (a virus scanner, an indexer) is
// tried again after these pauses, the first doubled until it passes the last.
struct HeldFilePauses {
    DWORD FirstMs;
    DWORD LastMs;
};

// Why the record could not be read or kept: what the program was doing, its
// Windows error, and, for a file that holds no record, its size.
struct RecordTrouble {
    const wchar_t* Stage = L"";
    DWORD Error = 0;  // 0: the file holds something other than a record
    unsigned long long Size = 0;
};

inline void ReleaseMutexHandle(HANDLE mutex)
{
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

// The record of one working directory, locked from its reading to its
// writing, so that two attempts at once (two windows, a window and a headless
// run) cannot both compare with the old value and end with the lower one.
struct SequenceRecord {
    std::wstring Directory;
    ScopedHandle<HANDLE, ReleaseMutexHandle> Lock;  // null: not locked
    AcceptedSequence Held;  // what the file held (empty when missing or unreadable)
    // Locked, and the file was missing, read, or holds no record (so it is
    // written over); never a file whose value could not be had.
    bool Writable = false;
};

// Locks `directory`'s record, waiting a moment for another attempt that
// holds it, and reads it. A missing file is an empty record, read. False
// when the lock or the file could not be had, or the file holds no record:
// `trouble` says why, and the record is empty. Without the lock nothing is
// written; a record that could not be read for another program holding it
// is never written over either (its value is unknown, and may be higher).
bool LockAndReadAcceptedSequence(const std::wstring& directory, const HeldFilePauses& pauses, SequenceRecord& record,
                                 RecordTrouble& trouble);

// Writes `value` as a Writable record: beside the file and moved over it, so the
// file holds the old record or the new one, the move tried again while
// another program holds the file. The caller decides that `value` is higher;
// false (with `trouble`) when it could not be kept.
bool KeepAcceptedSequence(SequenceRecord& record, const AcceptedSequence& value, const HeldFilePauses& pauses,
                          RecordTrouble& trouble);
