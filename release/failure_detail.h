#pragma once

#include <windows.h>

#include <string>

// What failed behind a user's sentence, for a maintainer reading the user's
// log: one line after the failure's own, "Detail: " + the detail.
//
//   Detail: <cause> <stage> <what>.
//
// The cause is a code with its name ("WinHTTP error 12175 (secure failure:
// certificate revoked)", "Windows error 112 (disk full)", "HTTP status 404
// (not found)", "CNG status 0xC0000017 (no memory)") or what the program saw
// ("the body ended at 150000 of 300000 bytes"); the stage is what the program
// was doing ("requesting", "reading", "writing", "hashing", "moving"); the
// URL or file it was about closes the line. A URL is written without its
// user name, password, query and fragment, which may hold secrets.
using FailureDetail = std::wstring;

constexpr wchar_t kLogDetailPrefix[] = L"Detail: ";

// "WinHTTP error N (name)"; with `secureFlags` (the flags of a secure
// failure), their names after the code's: "(secure failure: certificate
// revoked, certificate date invalid)".
std::wstring WinHttpErrorCause(DWORD code, DWORD secureFlags = 0);
// "Windows error N (name)".
std::wstring WindowsErrorCause(DWORD code);
// "HTTP status N (reason)".
std::wstring HttpStatusCause(DWORD status);
// "CNG status 0xNNNNNNNN (name)".
std::wstring CngStatusCause(LONG status);

// "WinVerifyTrust result 0xNNNNNNNN (name)".
std::wstring TrustResultCause(LONG result);
// "certificate chain errors 0xNNNNNNNN (names)", from CERT_TRUST_* flags.
std::wstring ChainStatusCause(DWORD errors);

// How much of a server's or a manifest's text a log line keeps; a URL's
// path names the file, so more of a URL.
constexpr size_t kLongestTextForLog = 100;
constexpr size_t kLongestUrlForLog = 200;

// The URL as a log may show it, quoted as TextForLog quotes: scheme, host,
// port and path as WinHTTP reads them; a query is replaced by "?..." and a
// fragment dropped; a user name and password never appear, however the URL
// is read. Every URL a detail names, the program's own or a server's, goes
// through it.
std::wstring UrlForLog(const std::wstring& url, size_t longest = kLongestUrlForLog);

// C0 (U+0000..U+001F), DEL and C1 (U+0080..U+009F): characters a log viewer
// or a terminal may act on rather than show.
bool IsControlCharacter(wchar_t c);

// A server's or a manifest's text as a log line may hold it: a control
// character becomes "?", so no such text can start a line of its own, and
// at most `longest` characters are kept ("..." marks a cut).
std::wstring TextForLog(const std::wstring& text, size_t longest = kLongestTextForLog);

// "cause stage what." (the full stop only once).
std::wstring DescribeFailure(const std::wstring& cause, const wchar_t* stage, const std::wstring& what);
