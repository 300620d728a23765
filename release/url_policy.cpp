#include "release/url_policy.h"

#include "release/manifest.h"
#include "release/release_messages.h"

#ifndef TAVRO_OFFICIAL_HOST
#define TAVRO_OFFICIAL_HOST "tavro.example"
#endif
#define TAVRO_WIDEN2(text) L##text
#define TAVRO_WIDEN(text) TAVRO_WIDEN2(text)

const wchar_t kOfficialHost[] = TAVRO_WIDEN(TAVRO_OFFICIAL_HOST);

namespace {

// The cracker reports an absent component as a null pointer with length 0.
std::wstring UrlComponent(const wchar_t* start, DWORD length)
{
    return start != nullptr ? std::wstring(start, length) : std::wstring();
}

}  // namespace

bool IsOfficialHost(const std::wstring& host)
{
    const std::wstring folded = FoldAsciiCase(host);
    const std::wstring official(kOfficialHost);
    return folded == official || folded == L"www." + official;
}

std::wstring ComposeRequestPath(const std::wstring& path, const std::wstring& extraInfo)
{
    const std::wstring requestPath = path + extraInfo;
    return requestPath.empty() ? std::wstring(L"/") : requestPath;
}

bool ParseReleaseUrl(const std::wstring& url, ReleaseEndpoint& endpoint, ErrorText& error)
{
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);

    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        error = kMsgUrlInvalid;
        return false;
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTPS) {
        error = kMsgUrlNotHttps;
        return false;
    }
    endpoint.Host = UrlComponent(parts.lpszHostName, parts.dwHostNameLength);
    if (!IsOfficialHost(endpoint.Host)) {
        error = kMsgUrlForeignHost;
        return false;
    }

    endpoint.RequestPath = ComposeRequestPath(UrlComponent(parts.lpszUrlPath, parts.dwUrlPathLength),
                                              UrlComponent(parts.lpszExtraInfo, parts.dwExtraInfoLength));
    endpoint.Port = parts.nPort;
    endpoint.Secure = true;
    return true;
}
