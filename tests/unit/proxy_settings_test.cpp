#include "release/transfer/proxy_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Printable(const std::wstring& text)
{
    return testing::PrintToString(text);
}

TEST(ProxyForHttps, TheHttpsEntryElseOneWithoutAScheme)
{
    struct Row {
        const wchar_t* setting;
        const wchar_t* proxy;
    };
    const Row rows[] = {
        {L"", L""},
        {L"proxy.corp:8080", L"proxy.corp:8080"},
        {L"http=web:80;https=secure:8443;ftp=files:21", L"secure:8443"},
        {L"HTTPS=secure:8443", L"secure:8443"},
        {L"http=web:80", L""},
        {L"http=web:80;any:3128", L"any:3128"},
        {L"any:3128;https=secure:8443", L"secure:8443"},
        {L" ; https=secure:8443 ; ", L"secure:8443"},
        // Windows takes a proxy written as a URL; the service is handed host:port.
        {L"http://proxy.corp:3128", L"proxy.corp:3128"},
        {L"HTTP://proxy.corp:3128/", L"proxy.corp:3128"},
        {L"http=web:80;https=http://secure:8443", L"secure:8443"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ProxyForHttps(row.setting), row.proxy) << Printable(row.setting);
    }
}

TEST(BypassesProxy, EntriesPatternsSchemesPortsAndLocal)
{
    struct Row {
        const wchar_t* bypass;
        const wchar_t* host;
        INTERNET_PORT port;
        bool bypassed;
    };
    const Row rows[] = {
        {L"", L"downloads.example.com", 443, false},
        {L"downloads.example.com", L"downloads.example.com", 443, true},
        {L"DOWNLOADS.Example.com", L"downloads.example.COM", 443, true},
        {L"other.example.com;downloads.example.com", L"downloads.example.com", 443, true},
        {L"other.example.com, downloads.example.com", L"downloads.example.com", 443, true},
        {L"other.example.com downloads.example.com", L"downloads.example.com", 443, true},
        {L"example.com", L"downloads.example.com", 443, false},
        {L"*.example.com", L"downloads.example.com", 443, true},
        {L"*.example.com", L"example.com", 443, false},
        {L"*example.com", L"example.com", 443, true},
        {L"downloads.*", L"downloads.example.com", 443, true},
        {L"d*s.ex*e.c*", L"downloads.example.com", 443, true},
        {L"*", L"downloads.example.com", 443, true},
        {L"downloads.example.co", L"downloads.example.com", 443, false},
        {L"https://downloads.example.com", L"downloads.example.com", 443, true},
        {L"http://downloads.example.com", L"downloads.example.com", 443, false},
        {L"downloads.example.com:443", L"downloads.example.com", 443, true},
        {L"downloads.example.com:8443", L"downloads.example.com", 443, false},
        {L"downloads.example.com:99999999999999999999", L"downloads.example.com", 443, false},
        {L"<local>", L"intranet", 443, true},
        {L"<LOCAL>", L"intranet", 443, true},
        {L"<local>", L"downloads.example.com", 443, false},
        {L"127.0.0.*", L"127.0.0.1", 443, true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(BypassesProxy(row.bypass, row.host, row.port), row.bypassed)
            << Printable(row.bypass) << " " << Printable(row.host) << ":" << row.port;
    }
}

TEST(ProxyRoutes, AScriptsAnswerInItsOrder)
{
    struct Row {
        const wchar_t* answer;
        std::vector<std::wstring> routes;  // empty entry: direct
    };
    const Row rows[] = {
        {L"PROXY a:8080", {L"a:8080"}},
        {L"PROXY a:8080; PROXY b:3128; DIRECT", {L"a:8080", L"b:3128", L""}},
        {L"a:8080;b:3128", {L"a:8080", L"b:3128"}},
        {L"proxy a:8080;direct", {L"a:8080", L""}},
        {L"SOCKS s:1080; PROXY a:8080", {L"a:8080"}},
        {L"PROXY http://a:8080/", {L"a:8080"}},
        {L"DIRECT", {L""}},
        {L"", {}},
        {L" ; ", {}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ProxyRoutes(row.answer), row.routes) << Printable(row.answer);
    }
}

TEST(ChooseProxy, DiscoveryThenTheFixedProxyThenTheMachinesThenDirect)
{
    UserProxySettings fixed;
    fixed.Proxy = L"http=web:80;https=fixed:3128";
    fixed.Bypass = L"<local>;*.intranet";
    const UserProxySettings none;
    const MachineProxySettings machine = {L"http://machine:8080", L"*.example.com"};
    const MachineProxySettings noMachine;
    struct Row {
        const char* name;
        const UserProxySettings& settings;
        DiscoveryAnswer answer;
        const wchar_t* discovered;
        const MachineProxySettings& machine;
        const wchar_t* host;
        std::vector<std::wstring> routes;  // empty entry: direct
    };
    const Row rows[] = {
        {"nothing set", none, DiscoveryAnswer::NotAsked, L"", noMachine, L"downloads.example.com", {L""}},
        {"discovery failed, nothing else", none, DiscoveryAnswer::Failed, L"", noMachine, L"downloads.example.com",
         {L""}},
        {"discovered", none, DiscoveryAnswer::Proxy, L"pac:8080", noMachine, L"downloads.example.com", {L"pac:8080"}},
        {"discovered list", none, DiscoveryAnswer::Proxy, L"pac:8080;spare:8080", machine, L"downloads.example.com",
         {L"pac:8080", L"spare:8080"}},
        {"discovered wins over fixed", fixed, DiscoveryAnswer::Proxy, L"pac:8080", noMachine,
         L"downloads.example.com", {L"pac:8080"}},
        {"script says direct: direct, not fixed", fixed, DiscoveryAnswer::Direct, L"", machine,
         L"downloads.example.com", {L""}},
        {"discovery failed: fixed", fixed, DiscoveryAnswer::Failed, L"", noMachine, L"downloads.example.com",
         {L"fixed:3128"}},
        {"fixed", fixed, DiscoveryAnswer::NotAsked, L"", machine, L"downloads.example.com", {L"fixed:3128"}},
        {"fixed, host bypassed", fixed, DiscoveryAnswer::NotAsked, L"", noMachine, L"files.intranet", {L""}},
        {"fixed, local host", fixed, DiscoveryAnswer::NotAsked, L"", noMachine, L"files", {L""}},
        {"machine-wide", none, DiscoveryAnswer::NotAsked, L"", machine, L"downloads.other.org", {L"machine:8080"}},
        {"machine-wide, bypassed", none, DiscoveryAnswer::NotAsked, L"", machine, L"downloads.example.com", {L""}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ChooseProxy(row.settings, row.answer, row.discovered, row.machine, row.host, 443).Routes, row.routes)
            << row.name;
    }
}

}  // namespace
