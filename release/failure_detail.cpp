#include "release/failure_detail.h"

#include <winhttp.h>

#include "release/url_policy.h"

namespace {

struct CodeName {
    DWORD Code;
    const wchar_t* Name;
};

// The codes a user's log can hold, by the constants Windows documents them
// under; each named as the documentation describes it.
const CodeName kWinHttpErrors[] = {
    {ERROR_WINHTTP_OUT_OF_HANDLES, L"out of handles"},
    {ERROR_WINHTTP_TIMEOUT, L"timed out"},
    {ERROR_WINHTTP_INTERNAL_ERROR, L"internal error"},
    {ERROR_WINHTTP_INVALID_URL, L"invalid URL"},
    {ERROR_WINHTTP_UNRECOGNIZED_SCHEME, L"unrecognized scheme"},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, L"name not resolved"},
    {ERROR_WINHTTP_INVALID_OPTION, L"invalid option"},
    {ERROR_WINHTTP_OPTION_NOT_SETTABLE, L"option not settable"},
    {ERROR_WINHTTP_SHUTDOWN, L"shut down"},
    {ERROR_WINHTTP_LOGIN_FAILURE, L"login failure"},
    {ERROR_WINHTTP_OPERATION_CANCELLED, L"operation cancelled"},
    {ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, L"incorrect handle type"},
    {ERROR_WINHTTP_INCORRECT_HANDLE_STATE, L"incorrect handle state"},
    {ERROR_WINHTTP_CANNOT_CONNECT, L"cannot connect"},
    {ERROR_WINHTTP_CONNECTION_ERROR, L"connection reset or closed"},
    {ERROR_WINHTTP_RESEND_REQUEST, L"resend request"},
    {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, L"certificate date invalid"},
    {ERROR_WINHTTP_SECURE_CERT_CN_INVALID, L"certificate name invalid"},
    {ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED, L"client certificate needed"},
    {ERROR_WINHTTP_SECURE_INVALID_CA, L"certificate authority invalid"},
    {ERROR_WINHTTP_SECURE_CERT_REV_FAILED, L"revocation check failed"},
    {ERROR_WINHTTP_HEADER_NOT_FOUND, L"header not found"},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, L"invalid server response"},
    {ERROR_WINHTTP_INVALID_HEADER, L"invalid header"},
    {ERROR_WINHTTP_REDIRECT_FAILED, L"redirect failed"},
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, L"secure channel error"},
    {ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT, L"bad proxy script"},
    {ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT, L"unable to download the proxy script"},
    {ERROR_WINHTTP_SECURE_INVALID_CERT, L"invalid certificate"},
    {ERROR_WINHTTP_SECURE_CERT_REVOKED, L"certificate revoked"},
    {ERROR_WINHTTP_NOT_INITIALIZED, L"not initialized"},
    {ERROR_WINHTTP_SECURE_FAILURE, L"secure failure"},
    {ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR, L"proxy service error"},
    {ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE, L"certificate wrong usage"},
    {ERROR_WINHTTP_AUTODETECTION_FAILED, L"proxy autodetection failed"},
    {ERROR_WINHTTP_HEADER_COUNT_EXCEEDED, L"header count exceeded"},
    {ERROR_WINHTTP_HEADER_SIZE_OVERFLOW, L"header size overflow"},
    {ERROR_WINHTTP_CHUNKED_ENCODING_HEADER_SIZE_OVERFLOW, L"chunk header size overflow"},
    {ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW, L"response drain overflow"},
};

// The flags of WINHTTP_CALLBACK_STATUS_SECURE_FAILURE.
const CodeName kSecureFailureFlags[] = {
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, L"revocation check failed"},
    {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, L"invalid certificate"},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, L"certificate revoked"},
    {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, L"certificate authority invalid"},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, L"certificate name invalid"},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, L"certificate date invalid"},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, L"certificate wrong usage"},
    {WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, L"secure channel error"},
};

const CodeName kWindowsErrors[] = {
    {ERROR_FILE_NOT_FOUND, L"file not found"},
    {ERROR_PATH_NOT_FOUND, L"path not found"},
    {ERROR_ACCESS_DENIED, L"access denied"},
    {ERROR_INVALID_HANDLE, L"invalid handle"},
    {ERROR_NOT_ENOUGH_MEMORY, L"not enough memory"},
    {ERROR_OUTOFMEMORY, L"out of memory"},
    {ERROR_NOT_READY, L"device not ready"},
    {ERROR_CRC, L"data error"},
    {ERROR_SHARING_VIOLATION, L"sharing violation"},
    {ERROR_LOCK_VIOLATION, L"lock violation"},
    {ERROR_HANDLE_EOF, L"end of file"},
    {ERROR_HANDLE_DISK_FULL, L"disk full"},
    {ERROR_FILE_EXISTS, L"file exists"},
    {ERROR_INVALID_PARAMETER, L"invalid parameter"},
    {ERROR_DISK_FULL, L"disk full"},
    {ERROR_INVALID_NAME, L"invalid name"},
    {ERROR_ALREADY_EXISTS, L"already exists"},
    {ERROR_BAD_EXE_FORMAT, L"not a valid program"},
    {ERROR_FILENAME_EXCED_RANGE, L"file name too long"},
    {225, L"virus detected"},  // ERROR_VIRUS_INFECTED
    {740, L"elevation required"},  // ERROR_ELEVATION_REQUIRED
    {ERROR_NOACCESS, L"invalid access to memory"},
    {ERROR_IO_DEVICE, L"device I/O error"},
    {ERROR_NO_ASSOCIATION, L"no program associated"},
    {ERROR_CANCELLED, L"cancelled by the user"},
    {ERROR_USER_MAPPED_FILE, L"file in use as a mapped image"},
    {ERROR_ACCESS_DISABLED_BY_POLICY, L"blocked by policy"},
    {ERROR_NO_SYSTEM_RESOURCES, L"no system resources"},
    {1295, L"disk quota exceeded"},  // ERROR_DISK_QUOTA_EXCEEDED
    {ERROR_FILE_CORRUPT, L"file corrupt"},
    {ERROR_TIMEOUT, L"timed out"},
};

const CodeName kCngStatuses[] = {
    {0xC0000008, L"invalid handle"},
    {0xC000000D, L"invalid parameter"},
    {0xC0000017, L"no memory"},
    {0xC0000023, L"buffer too small"},
    {0xC00000BB, L"not supported"},
    {0xC0000225, L"not found"},
    {0xC000A000, L"invalid signature"},
};

const CodeName kHttpReasons[] = {
    {200, L"OK"},
    {206, L"partial content"},
    {301, L"moved permanently"},
    {302, L"found"},
    {303, L"see other"},
    {304, L"not modified"},
    {307, L"temporary redirect"},
    {308, L"permanent redirect"},
    {400, L"bad request"},
    {401, L"unauthorized"},
    {403, L"forbidden"},
    {404, L"not found"},
    {405, L"method not allowed"},
    {407, L"proxy authentication required"},
    {408, L"request timeout"},
    {410, L"gone"},
    {412, L"precondition failed"},
    {416, L"range not satisfiable"},
    {429, L"too many requests"},
    {500, L"internal server error"},
    {502, L"bad gateway"},
    {503, L"service unavailable"},
    {504, L"gateway timeout"},
};

// WinVerifyTrust's answers (HRESULTs).
const CodeName kTrustResults[] = {
    {0x800B0100, L"no signature"},
    {0x80096010, L"digest mismatch: changed after signing"},
    {0x800B0004, L"subject not trusted"},
    {0x800B0101, L"certificate expired"},
    {0x800B0109, L"untrusted root"},
    {0x800B010A, L"chain cannot be built"},
    {0x800B010C, L"certificate revoked"},
    {0x800B010E, L"revocation check failed"},
    {0x800B0111, L"explicitly distrusted"},
    {0x80092012, L"no revocation check"},
    {0x80092013, L"revocation server offline"},
    {0x80092026, L"blocked by security settings"},
    {0x80096001, L"signature malformed"},
    {0x800B0003, L"form unknown"},
};

// CERT_TRUST_* error flags of a chain.
const CodeName kChainErrors[] = {
    {0x00000001, L"not time valid"},
    {0x00000004, L"revoked"},
    {0x00000008, L"signature not valid"},
    {0x00000010, L"wrong usage"},
    {0x00000020, L"untrusted root"},
    {0x00000040, L"revocation unknown"},
    {0x00000080, L"cyclic"},
    {0x00000800, L"constraints not valid"},
    {0x01000000, L"offline revocation"},
    {0x00010000, L"partial chain"},
    {0x04000000, L"explicitly distrusted"},
};

template <size_t N>
const wchar_t* NameOf(const CodeName (&table)[N], DWORD code)
{
    for (const CodeName& entry : table) {
        if (entry.Code == code) {
            return entry.Name;
        }
    }
    return L"unknown";
}

std::wstring Hex8(DWORD value)
{
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text = L"0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        text += kDigits[(value >> shift) & 0xF];
    }
    return text;
}

// The URL as the service reads it, as the URL policy judges it: scheme,
// host, the port where one is written, path and what follows; the user
// name and password left out. False when the service does not read it.
bool CrackedForLog(const std::wstring& url, std::wstring& shown)
{
    URL_COMPONENTS parts;
    if (!CrackUrl(url, parts) || parts.lpszHostName == nullptr) {
        return false;
    }
    // The parts point into `url`: a ":" right after the host writes a port.
    const size_t hostEnd = static_cast<size_t>(parts.lpszHostName - url.c_str()) + parts.dwHostNameLength;
    const bool portWritten = hostEnd < url.size() && url[hostEnd] == L':';
    shown = UrlComponent(parts.lpszScheme, parts.dwSchemeLength) + L"://" +
            UrlComponent(parts.lpszHostName, parts.dwHostNameLength) +
            (portWritten ? L":" + std::to_wstring(parts.nPort) : std::wstring()) +
            UrlComponent(parts.lpszUrlPath, parts.dwUrlPathLength) +
            UrlComponent(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    return true;
}

// However the URL was read, it ends before its query or fragment, and
// nothing before an "@" shows. Readers differ on where a user name and
// password end: one takes "alice:pa/ss@host" as user info, Wine's as host
// "alice" and path "/ss@host" (and leaves a lone query in the host). So
// the last "@" before the query counts, in the path as well.
std::wstring WithoutSecrets(const std::wstring& url)
{
    const size_t schemeEnd = url.find(L"://");
    const size_t start = schemeEnd == std::wstring::npos ? 0 : schemeEnd + 3;
    std::wstring shown = url.substr(0, url.find_first_of(L"?#", start));
    const size_t at = shown.rfind(L'@');
    if (at != std::wstring::npos && at >= start) {
        shown.erase(start, at + 1 - start);
    }
    return shown;
}

// A "?" after the scheme and before any "#", as written: Wine's reading
// loses a lone query after a port.
bool HasQuery(const std::wstring& url)
{
    const size_t schemeEnd = url.find(L"://");
    const size_t mark = schemeEnd == std::wstring::npos ? schemeEnd : url.find_first_of(L"?#", schemeEnd + 3);
    return mark != std::wstring::npos && url[mark] == L'?';
}

}  // namespace

std::wstring WinHttpErrorCause(DWORD code, DWORD secureFlags)
{
    std::wstring names = NameOf(kWinHttpErrors, code);
    const wchar_t* separator = L": ";
    for (const CodeName& flag : kSecureFailureFlags) {
        if ((secureFlags & flag.Code) != 0) {
            names += separator;
            names += flag.Name;
            separator = L", ";
        }
    }
    return L"WinHTTP error " + std::to_wstring(code) + L" (" + names + L")";
}

std::wstring WindowsErrorCause(DWORD code)
{
    return L"Windows error " + std::to_wstring(code) + L" (" + NameOf(kWindowsErrors, code) + L")";
}

std::wstring HttpStatusCause(DWORD status)
{
    return L"HTTP status " + std::to_wstring(status) + L" (" + NameOf(kHttpReasons, status) + L")";
}

std::wstring CngStatusCause(LONG status)
{
    const DWORD code = static_cast<DWORD>(status);
    return L"CNG status " + Hex8(code) + L" (" + NameOf(kCngStatuses, code) + L")";
}

std::wstring TrustResultCause(LONG result)
{
    const DWORD code = static_cast<DWORD>(result);
    return L"WinVerifyTrust result " + Hex8(code) + L" (" + NameOf(kTrustResults, code) + L")";
}

std::wstring ChainStatusCause(DWORD errors)
{
    std::wstring names;
    for (const CodeName& flag : kChainErrors) {
        if ((errors & flag.Code) != 0) {
            names += (names.empty() ? L"" : L", ") + std::wstring(flag.Name);
        }
    }
    return L"certificate chain errors " + Hex8(errors) + L" (" + (names.empty() ? L"unknown" : names) + L")";
}

std::wstring UrlForLog(const std::wstring& url, size_t longest)
{
    std::wstring shown;
    if (!CrackedForLog(url, shown)) {
        shown = url;
    }
    return TextForLog(WithoutSecrets(shown) + (HasQuery(url) ? L"?..." : L""), longest);
}

std::wstring DescribeFailure(const std::wstring& cause, const wchar_t* stage, const std::wstring& what)
{
    std::wstring text = cause + L" " + stage + L" " + what;
    if (text.empty() || text.back() != L'.') {
        text += L'.';
    }
    return text;
}

bool IsControlCharacter(wchar_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

std::wstring TextForLog(const std::wstring& text, size_t longest)
{
    std::wstring shown = text.size() > longest ? text.substr(0, longest) + L"..." : text;
    for (wchar_t& c : shown) {
        if (IsControlCharacter(c)) {
            c = L'?';
        }
    }
    return shown;
}
