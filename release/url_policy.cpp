#include "release/url_policy.h"

#include <algorithm>
#include <vector>

#include "release/build_settings.h"
#include "release/manifest.h"
#include "release/release_hosts.h"
#include "release/release_messages.h"

#ifndef TAVRO_OFFICIAL_HOST
#define TAVRO_OFFICIAL_HOST "tavro.example"
#endif

const wchar_t kOfficialHost[] = TAVRO_WIDEN(TAVRO_OFFICIAL_HOST);

// The cracker reports an absent component as a null pointer with length 0.
std::wstring UrlComponent(const wchar_t* start, DWORD length)
{
    return start != nullptr ? std::wstring(start, length) : std::wstring();
}

bool CrackUrl(const std::wstring& url, URL_COMPONENTS& parts)
{
    parts = URL_COMPONENTS{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    return WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) != FALSE;
}

namespace {

// A reference that begins with a scheme ("https:", "ftp:") is absolute.
bool HasScheme(const std::wstring& reference)
{
    const size_t colon = reference.find(L':');
    if (colon == 0 || colon == std::wstring::npos || reference.find_first_of(L"/?#") < colon) {
        return false;
    }
    for (size_t i = 0; i < colon; ++i) {
        const wchar_t c = reference[i];
        const bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
        const bool other = (c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.';
        if (!letter && (i == 0 || !other)) {
            return false;
        }
    }
    return true;
}

// "/a/./b/../c" -> "/a/c": the path part only (up to "?" or "#").
std::wstring RemoveDotSegments(const std::wstring& reference)
{
    const size_t pathEnd = std::min(reference.find_first_of(L"?#"), reference.size());
    std::vector<std::wstring> kept;
    size_t start = 1;  // after the leading "/"
    for (;;) {
        const size_t slash = std::min(reference.find(L'/', start), pathEnd);
        const std::wstring segment = reference.substr(start, slash - start);
        const bool last = slash == pathEnd;
        if (segment == L"..") {
            if (!kept.empty()) {
                kept.pop_back();
            }
        }
        if (segment == L"." || segment == L"..") {
            if (last) {
                kept.emplace_back();
            }
        } else {
            kept.push_back(segment);
        }
        if (last) {
            break;
        }
        start = slash + 1;
    }
    std::wstring path;
    for (const std::wstring& segment : kept) {
        path += L"/" + segment;
    }
    return path + reference.substr(pathEnd);
}

}  // namespace

std::wstring ManifestUrl()
{
    return std::wstring(L"https://") + kOfficialHost + L"/updates/tavro-update.txt";
}

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
    URL_COMPONENTS parts;
    if (!CrackUrl(url, parts)) {
        error = kMsgUrlInvalid;
        return false;
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTPS) {
        error = kMsgUrlNotHttps;
        return false;
    }
    endpoint.Host = UrlComponent(parts.lpszHostName, parts.dwHostNameLength);
#ifdef TAVRO_MANIFEST_KEYS
    // A signed manifest decides what runs, so a mirror host the build names
    // may serve it too; any other host still may not.
    const bool allowed = IsOfficialHost(endpoint.Host) || IsMirrorHost(endpoint.Host);
#else
    const bool allowed = IsOfficialHost(endpoint.Host);
#endif
    if (!allowed) {
        error = kMsgUrlForeignHost;
        return false;
    }

    endpoint.RequestPath = ComposeRequestPath(UrlComponent(parts.lpszUrlPath, parts.dwUrlPathLength),
                                              UrlComponent(parts.lpszExtraInfo, parts.dwExtraInfoLength));
    endpoint.Port = parts.nPort;
    endpoint.Secure = true;
    return true;
}

std::wstring WithoutFragment(const std::wstring& url)
{
    return url.substr(0, url.find(L'#'));
}

std::wstring ResolveRedirectTarget(const std::wstring& base, const std::wstring& location)
{
    const std::wstring reference = TrimWhitespace(location);
    if (HasScheme(reference)) {
        return reference;
    }
    const size_t schemeEnd = base.find(L"://");
    if (schemeEnd == std::wstring::npos) {
        return reference;  // not reached: base passed the policy
    }
    if (reference.compare(0, 2, L"//") == 0) {
        return base.substr(0, schemeEnd + 1) + reference;
    }
    const size_t authorityEnd = std::min(base.find_first_of(L"/?#", schemeEnd + 3), base.size());
    const size_t pathEnd = std::min(base.find_first_of(L"?#", authorityEnd), base.size());
    const std::wstring origin = base.substr(0, authorityEnd);
    const std::wstring basePath = base.substr(authorityEnd, pathEnd - authorityEnd);
    if (reference.empty()) {
        return base.substr(0, std::min(base.find(L'#'), base.size()));
    }
    switch (reference[0]) {
    case L'#':
        return base.substr(0, std::min(base.find(L'#'), base.size())) + reference;
    case L'?':
        return origin + basePath + reference;
    case L'/':
        return origin + RemoveDotSegments(reference);
    default: {
        // Relative to the directory of the base path.
        const std::wstring directory = basePath.substr(0, basePath.rfind(L'/') + 1);
        return origin + RemoveDotSegments((directory.empty() ? L"/" : directory) + reference);
    }
    }
}
