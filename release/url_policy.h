#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

#include "release/error_text.h"

// The official host, lower case. Fixed when the program is built (the
// TAVRO_OFFICIAL_HOST build setting); never read at run time.
extern const wchar_t kOfficialHost[];

// "https://" + official host + "/updates/tavro-update.txt": where the release
// manifest is published.
std::wstring ManifestUrl();

// A URL that passed the release URL policy. Callers set it to empty, empty,
// 443, true before handing it to ParseReleaseUrl.
struct ReleaseEndpoint {
    std::wstring Host;
    std::wstring RequestPath;  // path + query + fragment, or "/" when both are empty
    INTERNET_PORT Port = INTERNET_DEFAULT_HTTPS_PORT;
    bool Secure = true;
};

// True when the host, with A to Z folded, is exactly the official host or the
// official host with a "www." prefix. No trimming, no trailing-dot removal.
bool IsOfficialHost(const std::wstring& host);

// The request path: the URL path followed by its query and fragment, or "/"
// when both are empty. No slash is put in front of a lone query.
std::wstring ComposeRequestPath(const std::wstring& path, const std::wstring& extraInfo);

// Cracks `url` as the HTTP service reads it: scheme, host, path and what
// follows, each part pointing into `url` (an absent one null). False when
// the service does not read it as a URL.
[[nodiscard]] bool CrackUrl(const std::wstring& url, URL_COMPONENTS& parts);

// A part CrackUrl found, or empty when the URL has none.
std::wstring UrlComponent(const wchar_t* start, DWORD length);

// Cracks the URL and applies the policy: absolute, https, official host (or,
// in a build with manifest keys, a mirror host: release_hosts.h), any port.
// On success fills every field of the endpoint. On failure assigns one
// of the three URL sentences; after a refused host, endpoint.Host holds the
// refused host and the other fields are unchanged.
[[nodiscard]] bool ParseReleaseUrl(const std::wstring& url, ReleaseEndpoint& endpoint, ErrorText& error);

// The URL up to its first "#": a fragment is for the client and is never
// part of a request.
std::wstring WithoutFragment(const std::wstring& url);

// The URL a redirect's Location names, resolved against the URL that answered
// (RFC 3986 reference resolution): an absolute URL stands as it is; "//host",
// "/path", "path", "?query" and "#fragment" take the rest from `base`, and
// "." and ".." segments are removed. `base` is a URL that passed
// ParseReleaseUrl. The result still has to pass ParseReleaseUrl itself.
std::wstring ResolveRedirectTarget(const std::wstring& base, const std::wstring& location);
