#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

// The proxy a request takes: the one the user's Internet settings name for
// its URL (an automatic configuration script, automatic detection or a fixed
// proxy server), else the service's default access type, which honours the
// machine-wide WinHTTP setting. A proxy never comes from the manifest or
// from an environment variable.

// The current user's Internet settings, as the service reads them.
struct UserProxySettings {
    bool AutoDetect = false;
    std::wstring AutoConfigUrl;  // a configuration script (PAC), or empty
    std::wstring Proxy;          // "host:port" or "scheme=host:port;...", or empty
    std::wstring Bypass;         // patterns separated by ";", "<local>" among them
};

// What automatic discovery answered for one URL.
enum class DiscoveryAnswer {
    NotAsked,  // the settings ask for none, or it failed earlier in this process
    Proxy,     // a proxy for this URL
    Direct,    // no proxy for this URL
    Failed,    // no script found, fetched or run in time
};

// Where one request goes: through Proxy ("host:port", or a list the service
// tries in order) when it is not empty, else by the default access type.
struct ProxyChoice {
    std::wstring Proxy;
};

// The proxy a fixed setting names for https URLs: its "https=" entry, else
// an entry without a scheme; empty when it names none for https.
std::wstring ProxyForHttps(const std::wstring& proxySetting);

// True when the host (and port) of an https URL matches the bypass list.
// Entries are separated by ";", "," or white space; letter case (A to Z) is
// ignored; "*" stands for any run of characters; an entry may begin with
// "https://" (another scheme never matches) and end with ":port"; "<local>"
// matches a host name without a dot.
bool BypassesProxy(const std::wstring& bypassList, const std::wstring& host, INTERNET_PORT port);

// In order: the proxy discovery found; the fixed proxy unless the host
// bypasses it; else the default access type.
ProxyChoice ChooseProxy(const UserProxySettings& settings, DiscoveryAnswer answer, const std::wstring& discovered,
                        const std::wstring& host, INTERNET_PORT port);

// The choice for one request to `url` on `host`:`port`, from the current
// user's settings. Discovery is bounded by kDiscoveryLimitMs; one that fails
// is not tried again by this process.
ProxyChoice ChooseProxyForUrl(const std::wstring& url, const std::wstring& host, INTERNET_PORT port);

constexpr DWORD kDiscoveryLimitMs = 10000;
