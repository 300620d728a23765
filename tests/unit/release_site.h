#pragma once

#include <string>

#include "release/error_text.h"

// The test bed's local release site, as seen from a program under Wine
// (its files are reached through drive Z:).

// A foreign host that the bed resolves to its server, with a certificate the
// test CA signed: reachable, so a request sent to it would show.
constexpr wchar_t kHostileHost[] = L"evil.example";

// Places a file at an absolute URL path ("/updates/tavro-update.txt").
bool PublishFile(const std::string& urlPath, const ByteBuffer& bytes);
bool PublishText(const std::string& urlPath, const std::string& text);
// Removes every published file, fault switch and the request log.
void ClearSite();
// Fault switches per URL path, as a JSON object, e.g.
// {"/releases/setup.exe": {"status": 404}}.
bool SetSiteRules(const std::string& json);
// What the server saw since ClearSite: one JSON line per request, and one
// per TLS handshake for the hostile host.
std::string RequestsLog();
// What the server sent since ClearSite: one JSON line per answer,
// {"sent": bytes of body, "of": path}.
std::string SentLog();
// A directory on a file system of 200 KiB, emptied: a disk that fills up.
std::wstring SmallDisk();
// Lower-case SHA-256 hex of the bytes, from CNG.
std::string Sha256Hex(const ByteBuffer& bytes);

// For its lifetime, the current user's Internet settings name `proxy`
// ("host:port") as their proxy server, or `script` as their configuration
// script, written as the settings dialog writes them; afterwards they are
// removed again.
class ScopedUserProxy {
public:
    explicit ScopedUserProxy(const std::string& proxy, const std::string& script = "");
    ~ScopedUserProxy();
    ScopedUserProxy(const ScopedUserProxy&) = delete;
    ScopedUserProxy& operator=(const ScopedUserProxy&) = delete;
};
