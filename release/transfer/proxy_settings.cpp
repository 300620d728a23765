#include "release/transfer/proxy_settings.h"

#include <vector>

#include "platform/shared_reference.h"
#include "release/manifest.h"
#include "release/transfer/transfer_limits.h"

namespace {

bool IsSeparator(wchar_t c)
{
    return c == L';' || c == L',' || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

// The entries of a list separated by ";", "," or white space.
std::vector<std::wstring> SplitList(const std::wstring& list)
{
    std::vector<std::wstring> entries;
    std::wstring entry;
    for (wchar_t c : list + L';') {
        if (!IsSeparator(c)) {
            entry += c;
        } else if (!entry.empty()) {
            entries.push_back(entry);
            entry.clear();
        }
    }
    return entries;
}

// "*" stands for any run of characters, every other character for itself.
bool MatchesPattern(const std::wstring& text, const std::wstring& pattern)
{
    size_t t = 0;
    size_t p = 0;
    size_t starAt = std::wstring::npos;
    size_t resumeAt = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            starAt = p++;
            resumeAt = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (starAt != std::wstring::npos) {
            p = starAt + 1;
            t = ++resumeAt;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') {
        ++p;
    }
    return p == pattern.size();
}

bool EntryMatches(std::wstring entry, const std::wstring& host, INTERNET_PORT port)
{
    entry = FoldAsciiCase(entry);
    if (entry == L"<local>") {
        return host.find(L'.') == std::wstring::npos;
    }
    const size_t schemeEnd = entry.find(L"://");
    if (schemeEnd != std::wstring::npos) {
        if (entry.compare(0, schemeEnd, L"https") != 0) {
            return false;
        }
        entry.erase(0, schemeEnd + 3);
    }
    const size_t colon = entry.rfind(L':');
    if (colon != std::wstring::npos && colon + 1 < entry.size() &&
        entry.find_first_not_of(L"0123456789", colon + 1) == std::wstring::npos) {
        unsigned long entryPort = 0;
        for (size_t i = colon + 1; i < entry.size() && entryPort <= 65535; ++i) {
            entryPort = entryPort * 10 + static_cast<unsigned long>(entry[i] - L'0');
        }
        if (entryPort != port) {
            return false;
        }
        entry.erase(colon);
    }
    return MatchesPattern(FoldAsciiCase(host), entry);
}

// Whether discovery failed earlier in this attempt: a network without an
// automatic configuration pays its cost once an attempt, not once a request.
volatile LONG DiscoveryFailedBefore = 0;

// One discovery, shared with the thread that runs it: the service's call
// cannot be bounded from outside, so the thread is left to finish alone when
// it takes too long, and whichever of the two lets go last frees this.
struct Discovery {
    LONG Holders = 2;
    std::wstring Url;
    UserProxySettings Settings;
    DiscoveryAnswer Answer = DiscoveryAnswer::Failed;
    std::wstring Proxy;
};

DWORD WINAPI RunDiscovery(LPVOID parameter)
{
    auto* discovery = static_cast<Discovery*>(parameter);
    const HINTERNET session =
        WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (discovery->Settings.AutoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (!discovery->Settings.AutoConfigUrl.empty()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = discovery->Settings.AutoConfigUrl.c_str();
    }
    WINHTTP_PROXY_INFO info = {};
    BOOL found = session != nullptr && WinHttpGetProxyForUrl(session, discovery->Url.c_str(), &options, &info);
    // The script's server may ask who is there; only then is it told.
    if (!found && session != nullptr && GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE) {
        options.fAutoLogonIfChallenged = TRUE;
        found = WinHttpGetProxyForUrl(session, discovery->Url.c_str(), &options, &info);
    }
    if (found) {
        const bool named = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy != nullptr &&
                           info.lpszProxy[0] != L'\0';
        discovery->Answer = named ? DiscoveryAnswer::Proxy : DiscoveryAnswer::Direct;
        if (named) {
            discovery->Proxy = info.lpszProxy;
        }
        GlobalFree(info.lpszProxy);
        GlobalFree(info.lpszProxyBypass);
    }
    if (session != nullptr) {
        WinHttpCloseHandle(session);
    }
    ReleaseShared(discovery);
    return 0;
}

DiscoveryAnswer Discover(const std::wstring& url, const UserProxySettings& settings, std::wstring& proxy)
{
    auto* discovery = new Discovery();
    discovery->Url = url;
    discovery->Settings = settings;
    const HANDLE thread = CreateThread(nullptr, 0, RunDiscovery, discovery, 0, nullptr);
    if (thread == nullptr) {
        ReleaseShared(discovery);  // the thread's share
        ReleaseShared(discovery);
        return DiscoveryAnswer::Failed;
    }
    DiscoveryAnswer answer = DiscoveryAnswer::Failed;
    if (WaitForSingleObject(thread, kTransferLimits.DiscoveryLimitMs) == WAIT_OBJECT_0) {
        answer = discovery->Answer;
        proxy = discovery->Proxy;
    }
    CloseHandle(thread);
    ReleaseShared(discovery);
    return answer;
}

std::wstring TakeGlobalText(LPWSTR text)
{
    std::wstring copy = text != nullptr ? text : L"";
    GlobalFree(text);
    return copy;
}

bool StartsWithFolded(const std::wstring& text, const wchar_t* prefix)
{
    const std::wstring start(prefix);
    return text.size() >= start.size() && FoldAsciiCase(text.substr(0, start.size())) == start;
}

MachineProxySettings ReadMachineProxySettings()
{
    MachineProxySettings machine;
    WINHTTP_PROXY_INFO info = {};
    if (WinHttpGetDefaultProxyConfiguration(&info)) {
        const bool named = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        machine.Proxy = TakeGlobalText(info.lpszProxy);
        machine.Bypass = TakeGlobalText(info.lpszProxyBypass);
        if (!named) {
            machine = MachineProxySettings();
        }
    }
    return machine;
}

}  // namespace

std::wstring ProxyHostAndPort(const std::wstring& proxy)
{
    // Windows takes a proxy written as a URL; the service under other
    // platforms (Wine) takes only host:port.
    if (!StartsWithFolded(proxy, L"http://")) {
        return proxy;
    }
    std::wstring hostAndPort = proxy.substr(7);
    const size_t slash = hostAndPort.find(L'/');
    if (slash != std::wstring::npos) {
        hostAndPort.erase(slash);
    }
    return hostAndPort;
}

std::wstring ProxyForHttps(const std::wstring& proxySetting)
{
    std::wstring unnamed;
    for (const std::wstring& entry : SplitList(proxySetting)) {
        const size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos) {
            if (unnamed.empty()) {
                unnamed = ProxyHostAndPort(entry);
            }
        } else if (FoldAsciiCase(entry.substr(0, equals)) == L"https") {
            return ProxyHostAndPort(entry.substr(equals + 1));
        }
    }
    return unnamed;
}

std::vector<std::wstring> ProxyRoutes(const std::wstring& answer)
{
    std::vector<std::wstring> routes;
    size_t start = 0;
    while (start <= answer.size()) {
        size_t end = answer.find(L';', start);
        if (end == std::wstring::npos) {
            end = answer.size();
        }
        // "PROXY host:port" is two words; a bare entry is one.
        std::vector<std::wstring> words;
        for (const std::wstring& word : SplitList(answer.substr(start, end - start))) {
            words.push_back(word);
        }
        start = end + 1;
        if (words.size() == 1 && FoldAsciiCase(words[0]) == L"direct") {
            routes.push_back(std::wstring());
        } else if (words.size() == 1 && words[0].find(L'=') == std::wstring::npos) {
            routes.push_back(ProxyHostAndPort(words[0]));
        } else if (words.size() == 2 && (FoldAsciiCase(words[0]) == L"proxy" || FoldAsciiCase(words[0]) == L"http")) {
            routes.push_back(ProxyHostAndPort(words[1]));
        }
    }
    return routes;
}

bool BypassesProxy(const std::wstring& bypassList, const std::wstring& host, INTERNET_PORT port)
{
    for (const std::wstring& entry : SplitList(bypassList)) {
        if (EntryMatches(entry, host, port)) {
            return true;
        }
    }
    return false;
}

ProxyChoice ChooseProxy(const UserProxySettings& settings, DiscoveryAnswer answer, const std::wstring& discovered,
                        const MachineProxySettings& machine, const std::wstring& host, INTERNET_PORT port)
{
    if (answer == DiscoveryAnswer::Proxy) {
        ProxyChoice choice = {ProxyRoutes(discovered)};
        if (!choice.Routes.empty()) {
            return choice;
        }
    }
    // A script's DIRECT is its answer for this URL, as it is for the
    // browser: the fixed proxy stands in only where no answer could be had.
    if (answer == DiscoveryAnswer::Direct) {
        return {{std::wstring()}};
    }
    const std::wstring fixed = ProxyForHttps(settings.Proxy);
    if (!fixed.empty() && !BypassesProxy(settings.Bypass, host, port)) {
        return {{fixed}};
    }
    const std::wstring machineWide = ProxyForHttps(machine.Proxy);
    if (!machineWide.empty() && !BypassesProxy(machine.Bypass, host, port)) {
        return {{machineWide}};
    }
    return {{std::wstring()}};
}

ProxyChoice ChooseProxyForUrl(const std::wstring& url, const std::wstring& host, INTERNET_PORT port)
{
    UserProxySettings settings;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    if (WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        settings.AutoDetect = config.fAutoDetect != FALSE;
        settings.AutoConfigUrl = TakeGlobalText(config.lpszAutoConfigUrl);
        settings.Proxy = TakeGlobalText(config.lpszProxy);
        settings.Bypass = TakeGlobalText(config.lpszProxyBypass);
    }
    DiscoveryAnswer answer = DiscoveryAnswer::NotAsked;
    std::wstring discovered;
    if ((settings.AutoDetect || !settings.AutoConfigUrl.empty()) && DiscoveryFailedBefore == 0) {
        answer = Discover(url, settings, discovered);
        if (answer == DiscoveryAnswer::Failed) {
            InterlockedExchange(&DiscoveryFailedBefore, 1);
        }
    }
    return ChooseProxy(settings, answer, discovered, ReadMachineProxySettings(), host, port);
}

void ForgetFailedProxyDiscovery()
{
    InterlockedExchange(&DiscoveryFailedBefore, 0);
}

bool OfferWindowsLogonToProxy(HINTERNET request)
{
    DWORD supported = 0;
    DWORD first = 0;
    DWORD target = 0;
    if (!WinHttpQueryAuthSchemes(request, &supported, &first, &target) || target != WINHTTP_AUTH_TARGET_PROXY) {
        return false;
    }
    const DWORD scheme = (supported & WINHTTP_AUTH_SCHEME_NEGOTIATE) != 0 ? WINHTTP_AUTH_SCHEME_NEGOTIATE
                         : (supported & WINHTTP_AUTH_SCHEME_NTLM) != 0    ? WINHTTP_AUTH_SCHEME_NTLM
                                                                          : 0;
    return scheme != 0 && WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr);
}
