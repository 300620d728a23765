#pragma once

#include <windows.h>

#include <string>

// The rules for asking a server for the rest of a body whose connection
// dropped, and for judging its answer. Pure functions: the transfer sends
// and reads, these decide.

constexpr unsigned kMaxResumes = 3;

// The headers of the request for the rest: "Range: bytes=N-", and If-Range
// with `validator` when there is one.
std::wstring RestRequestHeaders(unsigned long long from, const std::wstring& validator);

// What If-Range names: the ETag when it is a well-formed strong entity tag
// (a weak one never matches there), else the Last-Modified date when it is
// a well-formed HTTP date, else nothing. The value goes back to the server
// as a request header: a server's text with a line end or a control
// character in it never does.
std::wstring IfRangeValidator(const std::wstring& etag, const std::wstring& lastModified);
// A quote, visible ASCII characters other than the quote, a quote.
bool IsStrongEntityTag(const std::wstring& etag);
// An IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT".
bool IsHttpDate(const std::wstring& date);

// "bytes FIRST-LAST/TOTAL", as a 206 names the part it carries (the unit in
// any letter case); false for any other form ("bytes */TOTAL", an unknown
// total "/*", a list, a range that does not fit in its total).
bool ParseContentRange(const std::wstring& text, unsigned long long& first, unsigned long long& last,
                       unsigned long long& total);

// What to do with the answer to a request for the rest.
enum class RestAnswer {
    Append,      // a 206 that carries exactly the rest
    StartAgain,  // a 200: the whole body again (the range was ignored, or the file changed)
    Refuse,      // anything else: the download fails as the drop did
};

// The answer `status` to a request for the rest of a body that stopped at
// `received` of the `total` bytes the first answer announced: a 206 is the
// rest only when its Content-Range goes on at `received`, ends at the last
// byte and names `total`, and its Content-Length, when it gives one
// (`lengthAnnounced`), is that of the rest.
RestAnswer JudgeRestAnswer(DWORD status, const std::wstring& contentRange, bool lengthAnnounced,
                           unsigned long long length, unsigned long long received, unsigned long long total);

// A Content-Length: decimal digits only, below 2^63; false for anything
// else (a sign, spaces, a list, a number too large to hold).
bool ParseContentLength(const std::wstring& text, unsigned long long& length);

// A run of decimal digits at `at`, at most 19 of them (below 2^63), as a
// number; false when there is none or it is longer. Moves `at` past them.
bool ReadDecimal(const std::wstring& text, size_t& at, unsigned long long& value);
