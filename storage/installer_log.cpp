#include "storage/installer_log.h"

#include "platform/scoped_handle.h"
#include "storage/working_directory.h"

namespace {

void AppendNumber(std::string& out, unsigned value)
{
    out += std::to_string(value);
}

}  // namespace

std::string FormatLogLine(const SYSTEMTIME& time, const std::wstring& message)
{
    std::string line;
    line.reserve(message.size() + 24);
    AppendNumber(line, time.wYear);
    line += '-';
    AppendNumber(line, time.wMonth);
    line += '-';
    AppendNumber(line, time.wDay);
    line += ' ';
    AppendNumber(line, time.wHour);
    line += ':';
    AppendNumber(line, time.wMinute);
    line += ':';
    AppendNumber(line, time.wSecond);
    line += ' ';
    for (wchar_t c : message) {
        if (c == L'\n') {
            line += "\r\n";
        } else if (c > 0xFF) {
            // No byte for it in the log's one-byte encoding; keep the line whole.
            line += '?';
        } else {
            line += static_cast<char>(static_cast<unsigned char>(c));
        }
    }
    line += "\r\n";
    return line;
}

void WriteLogLine(const std::wstring& message)
{
    AppendLogLine(GetWorkingDirectory(), message);
}

void AppendLogLine(const std::wstring& directory, const std::wstring& message)
{
    const std::wstring path = directory + L"\\" + kLogFileName;
    // FILE_APPEND_DATA alone makes every write land at the current end, also
    // when another process appends at the same time.
    ScopedFile log(NullIfInvalid(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!log.IsValid()) {
        return;
    }
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    const std::string line = FormatLogLine(now, message);
    DWORD written = 0;
    WriteFile(log.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
