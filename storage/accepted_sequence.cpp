#include "storage/accepted_sequence.h"

#include <windows.h>

#include "platform/scoped_handle.h"

bool ParseAcceptedSequence(const std::string& text, unsigned long long& sequence)
{
    std::string digits = text;
    if (digits.size() >= 2 && digits.compare(digits.size() - 2, 2, "\r\n") == 0) {
        digits.resize(digits.size() - 2);
    }
    if (digits.empty() || digits.size() > 19) {
        return false;
    }
    unsigned long long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long long>(c - '0');
    }
    sequence = value;
    return true;
}

unsigned long long ReadAcceptedSequence(const std::wstring& directory)
{
    const std::wstring path = directory + L"\\" + kSequenceFileName;
    const ScopedFile file(NullIfInvalid(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    char text[32] = {};
    DWORD read = 0;
    unsigned long long sequence = 0;
    if (!file.IsValid() || !ReadFile(file.Get(), text, sizeof(text), &read, nullptr) || read == sizeof(text) ||
        !ParseAcceptedSequence(std::string(text, read), sequence)) {
        return 0;
    }
    return sequence;
}

void KeepAcceptedSequence(const std::wstring& directory, unsigned long long sequence)
{
    if (sequence <= ReadAcceptedSequence(directory)) {
        return;
    }
    const std::wstring path = directory + L"\\" + kSequenceFileName;
    const std::wstring fresh = path + L".new";
    const std::string text = std::to_string(sequence) + "\r\n";
    bool written = false;
    {
        const ScopedFile file(NullIfInvalid(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                        FILE_ATTRIBUTE_NORMAL, nullptr)));
        DWORD count = 0;
        written = file.IsValid() && WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &count,
                                              nullptr) &&
                  count == text.size() && FlushFileBuffers(file.Get());
    }
    if (!written || !MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(fresh.c_str());
    }
}
