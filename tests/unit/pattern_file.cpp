#include "pattern_file.h"

#include <windows.h>

#include "platform/scoped_handle.h"

ByteBuffer PatternBytes(size_t count)
{
    ByteBuffer bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 31 + 7) & 0xFF);
    }
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const ByteBuffer& bytes)
{
    ScopedFile file(NullIfInvalid(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
    DWORD written = 0;
    return file.IsValid() &&
           (bytes.empty() || WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) &&
           written == bytes.size();
}

ByteBuffer ReadFileBytes(const std::wstring& path)
{
    ScopedFile file(NullIfInvalid(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr)));
    ByteBuffer bytes;
    if (!file.IsValid()) {
        return bytes;
    }
    unsigned char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        bytes.insert(bytes.end(), chunk, chunk + read);
    }
    return bytes;
}
