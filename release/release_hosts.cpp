#include "release/release_hosts.h"

#include "release/build_settings.h"
#include "release/manifest_fields.h"
#include "release/release_messages.h"
#include "release/url_policy.h"

std::vector<std::wstring> MirrorHosts()
{
    return SettingWords(std::wstring(kMirrorHostsText));
}

bool IsMirrorHost(const std::wstring& host)
{
    const std::wstring folded = FoldAsciiCase(host);
    for (const std::wstring& mirror : MirrorHosts()) {
        if (folded == mirror) {
            return true;
        }
    }
    return false;
}

std::wstring ManifestUrlOn(const std::wstring& host)
{
    return L"https://" + host + L"/updates/tavro-update.txt";
}

std::wstring HostForLog(const std::wstring& url)
{
    URL_COMPONENTS parts;
    if (!CrackUrl(url, parts) || parts.lpszHostName == nullptr) {
        return L"?";
    }
    return TextForLog(FoldAsciiCase(UrlComponent(parts.lpszHostName, parts.dwHostNameLength)));
}

bool InstallerUrls(const ReleaseManifest& manifest, const std::wstring& first, std::vector<std::wstring>& urls,
                   const wchar_t*& faultyKey, ErrorText& error)
{
    std::vector<std::wstring> found = {first};
    for (const ManifestField& field : kInstallerMirrorFields) {
        const std::wstring* value = FieldValue(manifest, field.Name);
        if (value == nullptr) {
            continue;
        }
        ReleaseEndpoint endpoint;
        if (!IsWellFormed(*value, field.Rule)) {
            faultyKey = field.Name;
            error = kMsgManifestIncomplete;
            return false;
        }
        // A mirror's URL is held to the same policy as installerUrl: HTTPS,
        // and a host this build names, so a signed manifest cannot send
        // users to a host nobody chose when the installer was built.
        if (!ParseReleaseUrl(*value, endpoint, error)) {
            faultyKey = field.Name;
            return false;
        }
        found.push_back(*value);
    }
    urls = found;
    return true;
}

FailureDetail JoinDetails(const FailureDetail& soFar, const FailureDetail& next)
{
    const auto bare = [](const FailureDetail& detail) {
        return !detail.empty() && detail.back() == L'.' ? detail.substr(0, detail.size() - 1) : detail;
    };
    return (soFar.empty() ? std::wstring() : bare(soFar) + L"; ") + bare(next) + L".";
}

std::wstring ManifestHostFailedLine(const std::wstring& url, const FailureDetail& detail)
{
    return kLogManifestNotFromPrefix + HostForLog(url) + L": " + detail;
}

std::wstring ManifestHostLine(const std::wstring& url)
{
    return kLogManifestFromPrefix + HostForLog(url) + L".";
}

std::wstring InstallerHostFailedLine(const std::wstring& url, const FailureDetail& detail)
{
    return kLogInstallerNotFromPrefix + HostForLog(url) + L": " + detail;
}

std::wstring InstallerHostLine(const std::wstring& url)
{
    return kLogInstallerFromPrefix + HostForLog(url) + L".";
}
