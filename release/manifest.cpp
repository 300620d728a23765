#include "release/manifest.h"

#include <windows.h>

std::wstring Utf8ToWide(const ByteBuffer& bytes)
{
    if (bytes.empty()) {
        return std::wstring();
    }
    // The byte count is passed explicitly (never -1), so no terminator is
    // needed and embedded zero bytes are ordinary characters.
    const char* input = reinterpret_cast<const char*>(bytes.data());
    const int inputBytes = static_cast<int>(bytes.size());
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, input, inputBytes, nullptr, 0);
    if (units <= 0) {
        return std::wstring();
    }
    std::wstring text(static_cast<size_t>(units), L'\0');
    const int written = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, input, inputBytes, &text[0], units);
    if (written != units) {
        return std::wstring();
    }
    return text;
}

namespace {

bool IsManifestWhitespace(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

}  // namespace

std::wstring TrimWhitespace(const std::wstring& text)
{
    size_t first = 0;
    while (first < text.size() && IsManifestWhitespace(text[first])) {
        ++first;
    }
    if (first == text.size()) {
        return std::wstring();
    }
    size_t last = text.size() - 1;
    while (IsManifestWhitespace(text[last])) {
        --last;
    }
    return text.substr(first, last - first + 1);
}

std::wstring FoldAsciiCase(const std::wstring& text)
{
    std::wstring folded(text);
    for (wchar_t& c : folded) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return folded;
}

ReleaseManifest ParseReleaseManifest(const std::wstring& text, std::wstring* repeatedKey)
{
    ReleaseManifest manifest;
    size_t lineStart = 0;
    while (lineStart < text.size()) {
        size_t lineEnd = text.find(L'\n', lineStart);
        if (lineEnd == std::wstring::npos) {
            lineEnd = text.size();
        }
        const std::wstring line = TrimWhitespace(text.substr(lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 1;

        if (line.empty() || line[0] == L'#') {
            continue;
        }
        const size_t equals = line.find(L'=');
        if (equals == std::wstring::npos || equals == 0) {
            continue;
        }
        const std::wstring key = FoldAsciiCase(TrimWhitespace(line.substr(0, equals)));
        if (repeatedKey != nullptr && repeatedKey->empty() && manifest.count(key) != 0) {
            *repeatedKey = key;
        }
        manifest[key] = TrimWhitespace(line.substr(equals + 1));
    }
    return manifest;
}
