#include "storage/accepted_sequence.h"

namespace {

// A record is a line of a few dozen bytes: a larger file is not one.
constexpr DWORD kLongestRecordBytes = 128;
constexpr size_t kFingerprintDigits = 64;

bool ParseDigits(const std::string& digits, unsigned long long& value)
{
    if (digits.empty() || digits.size() > 19) {
        return false;
    }
    value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long long>(c - '0');
    }
    return true;
}

bool IsFingerprint(const std::string& text)
{
    if (text.size() != kFingerprintDigits) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// One lock per working directory, whatever letter case its path is given
// in: the name carries a hash of the path, since a mutex name takes no "\".
std::wstring LockName(const std::wstring& directory)
{
    unsigned long long hash = 14695981039346656037ULL;  // FNV-1a
    for (wchar_t c : directory) {
        const wchar_t folded = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        hash = (hash ^ static_cast<unsigned long long>(folded)) * 1099511628211ULL;
    }
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring name = L"Local\\TAVRO.Installer.sequence.";
    for (int shift = 60; shift >= 0; shift -= 4) {
        name += kDigits[(hash >> shift) & 0xF];
    }
    return name;
}

// Another program holds the file (or, moving over it, has it open).
bool IsHeld(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

// Tries `step` until it succeeds, fails for another reason than a holder,
// or the pauses run out; false with the last error.
template <typename Step>
bool WhileHeld(const HeldFilePauses& pauses, Step step, DWORD& error)
{
    for (DWORD pauseMs = pauses.FirstMs;; pauseMs *= 2) {
        if (step()) {
            return true;
        }
        error = GetLastError();
        if (!IsHeld(error) || pauseMs > pauses.LastMs) {
            return false;
        }
        Sleep(pauseMs);
    }
}

bool Trouble(RecordTrouble& trouble, const wchar_t* stage, DWORD error, unsigned long long size = 0)
{
    trouble.Stage = stage;
    trouble.Error = error;
    trouble.Size = size;
    return false;
}

bool WriteNewFile(const std::wstring& path, const std::string& text, DWORD& error)
{
    const ScopedFile file(NullIfInvalid(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
    DWORD count = 0;
    if (!file.IsValid() || !WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &count, nullptr)) {
        error = GetLastError();
        return false;
    }
    // A write that took only part of the bytes reports no error of its own.
    if (count != text.size()) {
        error = ERROR_DISK_FULL;
        return false;
    }
    if (!FlushFileBuffers(file.Get())) {
        error = GetLastError();
        return false;
    }
    return true;
}

bool ReadRecordFile(const std::wstring& path, const HeldFilePauses& pauses, SequenceRecord& record,
                    RecordTrouble& trouble)
{
    ScopedFile file;
    DWORD error = 0;
    const bool opened = WhileHeld(
        pauses,
        [&] {
            *file.Receive() = NullIfInvalid(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            return file.IsValid();
        },
        error);
    if (!opened) {
        // No record yet: the build's floor alone holds, and the first
        // verified manifest makes one.
        const bool missing = error == ERROR_FILE_NOT_FOUND;
        record.Writable = missing;
        return missing || Trouble(trouble, L"reading", error);
    }
    LARGE_INTEGER size = {};
    char text[kLongestRecordBytes] = {};
    DWORD read = 0;
    if (!GetFileSizeEx(file.Get(), &size) ||
        (size.QuadPart <= kLongestRecordBytes && !ReadFile(file.Get(), text, sizeof(text), &read, nullptr))) {
        return Trouble(trouble, L"reading", GetLastError());
    }
    // Whatever else the file holds is written over by the next record.
    record.Writable = true;
    if (size.QuadPart > kLongestRecordBytes || !ParseAcceptedSequence(std::string(text, read), record.Held)) {
        record.Held = AcceptedSequence();
        return Trouble(trouble, L"reading", 0, static_cast<unsigned long long>(size.QuadPart));
    }
    return true;
}

}  // namespace

bool ParseAcceptedSequence(const std::string& text, AcceptedSequence& record)
{
    std::string line = text;
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) {
        line.resize(line.size() - 2);
    }
    const size_t space = line.find(' ');
    AcceptedSequence parsed;
    if (!ParseDigits(line.substr(0, space), parsed.Sequence)) {
        return false;
    }
    if (space != std::string::npos) {
        parsed.KeyFingerprint = line.substr(space + 1);
        if (!IsFingerprint(parsed.KeyFingerprint)) {
            return false;
        }
    }
    record = parsed;
    return true;
}

std::string FormatAcceptedSequence(const AcceptedSequence& record)
{
    return std::to_string(record.Sequence) + " " + record.KeyFingerprint + "\r\n";
}

bool LockAndReadAcceptedSequence(const std::wstring& directory, const HeldFilePauses& pauses, SequenceRecord& record,
                                 RecordTrouble& trouble)
{
    record.Directory = directory;
    record.Held = AcceptedSequence();
    record.Writable = false;
    record.Lock.Reset();
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, LockName(directory).c_str());
    if (mutex == nullptr) {
        return Trouble(trouble, L"locking", GetLastError());
    }
    // Another attempt holds it only from its reading to its writing, a
    // moment; one that never lets go is waited for no longer than a held
    // file. An abandoned lock (its process ended) is ours.
    const DWORD waited = WaitForSingleObject(mutex, 2 * pauses.LastMs + pauses.FirstMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        const DWORD error = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
        CloseHandle(mutex);
        return Trouble(trouble, L"waiting for another attempt's lock on", error);
    }
    *record.Lock.Receive() = mutex;
    const bool read = ReadRecordFile(directory + L"\\" + kSequenceFileName, pauses, record, trouble);
    if (!read && !record.Writable) {
        record.Lock.Reset();
    }
    return read;
}

bool KeepAcceptedSequence(SequenceRecord& record, const AcceptedSequence& value, const HeldFilePauses& pauses,
                          RecordTrouble& trouble)
{
    if (!record.Writable || !record.Lock.IsValid()) {
        return Trouble(trouble, L"keeping", ERROR_INVALID_HANDLE);
    }
    const std::wstring path = record.Directory + L"\\" + kSequenceFileName;
    const std::wstring fresh = path + L".new";
    DWORD error = 0;
    if (!WriteNewFile(fresh, FormatAcceptedSequence(value), error)) {
        DeleteFileW(fresh.c_str());
        return Trouble(trouble, L"writing", error);
    }
    if (!WhileHeld(
            pauses,
            [&] {
                return MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
                       FALSE;
            },
            error)) {
        DeleteFileW(fresh.c_str());
        return Trouble(trouble, L"replacing", error);
    }
    record.Held = value;
    return true;
}
