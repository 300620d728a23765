#include "release/transfer/resume.h"

#include <winhttp.h>

#include "release/manifest.h"

bool ReadDecimal(const std::wstring& text, size_t& at, unsigned long long& value)
{
    const size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= L'0' && text[at] <= L'9') {
        if (at - start == 19) {
            return false;
        }
        value = value * 10 + static_cast<unsigned long long>(text[at++] - L'0');
    }
    return at != start;
}

std::wstring RestRequestHeaders(unsigned long long from, const std::wstring& validator)
{
    std::wstring headers = L"Range: bytes=" + std::to_wstring(from) + L"-\r\n";
    if (!validator.empty()) {
        headers += L"If-Range: " + validator + L"\r\n";
    }
    return headers;
}

bool IsStrongEntityTag(const std::wstring& etag)
{
    // DQUOTE *etagc DQUOTE, etagc visible ASCII but the quote: what goes
    // back to the server in If-Range can be nothing else, no line end above
    // all, or the server's bytes would write a header of the request.
    if (etag.size() < 2 || etag.front() != L'"' || etag.back() != L'"') {
        return false;
    }
    for (size_t i = 1; i + 1 < etag.size(); ++i) {
        if (etag[i] < 0x21 || etag[i] > 0x7E || etag[i] == L'"') {
            return false;
        }
    }
    return true;
}

bool IsHttpDate(const std::wstring& date)
{
    // IMF-fixdate, the form servers send: "Sun, 06 Nov 1994 08:49:37 GMT".
    const std::wstring shape = L"Aaa, 00 Aaa 0000 00:00:00 GMT";
    if (date.size() != shape.size()) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        const wchar_t c = date[i];
        const bool fits = shape[i] == L'0'   ? (c >= L'0' && c <= L'9')
                          : shape[i] == L'A' ? (c >= L'A' && c <= L'Z')
                          : shape[i] == L'a' ? (c >= L'a' && c <= L'z')
                                             : c == shape[i];
        if (!fits) {
            return false;
        }
    }
    return true;
}

std::wstring IfRangeValidator(const std::wstring& etag, const std::wstring& lastModified)
{
    if (IsStrongEntityTag(etag)) {
        return etag;
    }
    return IsHttpDate(lastModified) ? lastModified : std::wstring();
}

bool ParseContentRange(const std::wstring& text, unsigned long long& first, unsigned long long& last,
                       unsigned long long& total)
{
    // Range units are case-insensitive.
    const std::wstring unit = L"bytes ";
    if (FoldAsciiCase(text.substr(0, unit.size())) != unit) {
        return false;
    }
    // Three runs of digits, joined by "-" and "/", and nothing else.
    unsigned long long values[3] = {};
    size_t at = unit.size();
    for (int i = 0; i < 3; ++i) {
        const wchar_t separator = i == 0 ? L'-' : i == 1 ? L'/' : L'\0';
        if (!ReadDecimal(text, at, values[i]) ||
            (separator != L'\0' ? (at >= text.size() || text[at++] != separator) : at != text.size())) {
            return false;
        }
    }
    if (values[0] > values[1] || values[1] >= values[2]) {
        return false;
    }
    first = values[0];
    last = values[1];
    total = values[2];
    return true;
}

RestAnswer JudgeRestAnswer(DWORD status, const std::wstring& contentRange, bool lengthAnnounced,
                           unsigned long long length, unsigned long long received, unsigned long long total)
{
    if (status == HTTP_STATUS_OK) {
        return RestAnswer::StartAgain;
    }
    unsigned long long first = 0;
    unsigned long long last = 0;
    unsigned long long named = 0;
    const bool rest = status == HTTP_STATUS_PARTIAL_CONTENT && ParseContentRange(contentRange, first, last, named) &&
                      first == received && named == total && last + 1 == total &&
                      (!lengthAnnounced || length == last - first + 1);
    return rest ? RestAnswer::Append : RestAnswer::Refuse;
}

bool ParseContentLength(const std::wstring& text, unsigned long long& length)
{
    size_t at = 0;
    unsigned long long value = 0;
    if (!ReadDecimal(text, at, value) || at != text.size()) {
        return false;
    }
    length = value;
    return true;
}
