#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

// The proxy a request takes: the one the user's Internet settings name for
// its URL (an automatic configuration script, automatic detection or a fixed
// proxy server), else the machine-wide WinHTTP setting, else none. A proxy
// never comes from the manifest.

// The current user's Internet settings, as the service reads them.
struct UserProxySettings {
    bool AutoDetect = false;
    std::wstring AutoConfigUrl;  // a configuration script (PAC), or empty
    std::wstring Proxy;          // "host:port" or "scheme=host:port;...", or empty
    std::wstring Bypass;         // patterns separated by ";", "<local>" among them
};

// The machine-wide WinHTTP setting (what `netsh winhttp set proxy` writes).
struct MachineProxySettings {
    std::wstring Proxy;   // as UserProxySettings::Proxy; empty: direct
    std::wstring Bypass;
};

// What automatic discovery answered for one URL.
enum class DiscoveryAnswer {
    NotAsked,  // the settings ask for none, or it failed earlier in this attempt
    Proxy,     // one or more proxies for this URL (a list, in the order to try)
    Direct,    // no proxy for this URL: final, no fixed proxy is used then
    Failed,    // no script found, fetched or run in time
};

// Where one request goes: the routes to try in order, each "host:port" of a
// proxy or empty for a direct connection. The next is tried only when a
// proxy cannot be reached. Never empty.
struct ProxyChoice {
    std::vector<std::wstring> Routes;
};

// A proxy as the service takes it: "host:port". A URL form
// ("http://host:port/") is reduced to that; other text is kept.
std::wstring ProxyHostAndPort(const std::wstring& proxy);

// The proxy a fixed setting names for https URLs: its "https=" entry, else
// an entry without a scheme; empty when it names none for https. Either as
// ProxyHostAndPort gives it.
std::wstring ProxyForHttps(const std::wstring& proxySetting);

// The routes of a configuration script's answer, in its order: entries
// separated by ";", each "PROXY host:port" (or a bare "host:port", as the
// service reports them) or "DIRECT"; entries of other kinds (SOCKS, HTTPS)
// are skipped. Empty when nothing usable is left.
std::vector<std::wstring> ProxyRoutes(const std::wstring& answer);

// True when the host (and port) of an https URL matches the bypass list.
// Entries are separated by ";", "," or white space; letter case (A to Z) is
// ignored; "*" stands for any run of characters; an entry may begin with
// "https://" (another scheme never matches) and end with ":port"; "<local>"
// matches a host name without a dot.
bool BypassesProxy(const std::wstring& bypassList, const std::wstring& host, INTERNET_PORT port);

// In order: what discovery answered (DIRECT included); the fixed proxy
// unless the host bypasses it; the machine-wide proxy unless the host
// bypasses that; else direct.
ProxyChoice ChooseProxy(const UserProxySettings& settings, DiscoveryAnswer answer, const std::wstring& discovered,
                        const MachineProxySettings& machine, const std::wstring& host, INTERNET_PORT port);

// The choice for one request to `url` on `host`:`port`, from the current
// user's settings and the machine's. Discovery is bounded by the transfer
// limits; one that fails is not tried again until the next attempt.
ProxyChoice ChooseProxyForUrl(const std::wstring& url, const std::wstring& host, INTERNET_PORT port);

// Lets a request through a proxy answer the proxy's sign-in request with
// the user's Windows logon (Negotiate or NTLM: no name or password given,
// the logon session's own); false when the proxy offers neither. Only the
// proxy gets them: the request's logon policy, which would let a server ask
// as well, is left. Never call it for a request that goes direct.
bool OfferWindowsLogonToProxy(HINTERNET request);

// Called as an attempt begins: a discovery that failed in an earlier
// attempt is tried again (the network or the script's server may be back).
void ForgetFailedProxyDiscovery();
