#include "release/https_transfer.h"

#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "app/app_state.h"
#include "release/release_messages.h"
#include "release/url_policy.h"
#include "storage/scoped_handle.h"

namespace {

constexpr wchar_t kUserAgent[] = L"TAVRO Static Module Installer/1.0";
constexpr int kResolveTimeoutMs = 10000;
constexpr int kConnectTimeoutMs = 10000;
constexpr int kSendTimeoutMs = 30000;
constexpr int kReceiveTimeoutMs = 30000;
constexpr DWORD kStatusOk = 200;

void CloseInternetHandle(HINTERNET handle)
{
    WinHttpCloseHandle(handle);
}

using ScopedInternet = ScopedHandle<HINTERNET, CloseInternetHandle>;

bool QueryNumberHeader(HINTERNET request, DWORD query, DWORD& value)
{
    DWORD size = sizeof(value);
    return WinHttpQueryHeaders(request, query | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX, &value,
                               &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
}

bool WriteAll(HANDLE file, const unsigned char* data, DWORD count)
{
    DWORD written = 0;
    return WriteFile(file, data, count, &written, nullptr) != FALSE && written == count;
}

// Streams the body of an answered request into the file (when `file` is
// valid) or onto the end of `memory`. The body is complete when the service
// reports 0 bytes available.
bool ReceiveBody(HINTERNET request, HANDLE file, ByteBuffer& memory, bool reportProgress, bool lengthAnnounced,
                 DWORD announced)
{
    DWORD total = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return false;
        }
        if (available == 0) {
            break;
        }
        std::vector<unsigned char> chunk(available);
        DWORD read = 0;
        if (!WinHttpReadData(request, chunk.data(), available, &read)) {
            return false;
        }
        if (file != nullptr) {
            if (!WriteAll(file, chunk.data(), read)) {
                return false;
            }
        } else {
            memory.insert(memory.end(), chunk.begin(), chunk.begin() + read);
        }
        total += read;
        if (reportProgress && announced != 0) {
            PostMessageW(AppState.MainWindow, WM_INSTALLER_PROGRESS, DownloadPercent(total, announced), 0);
        }
    }
    // Some HTTP stacks report a body cut short by a dropped connection as
    // complete; a body shorter than its announced length is a failed read.
    return !lengthAnnounced || total >= announced;
}

// Connects, sends the GET and receives the body. `status` is the status the
// server answered, or 0 when none was read.
bool TransferBody(HINTERNET session, const ReleaseEndpoint& endpoint, ByteBuffer& memory,
                  const std::wstring& filePath, bool reportProgress, DWORD& status)
{
    // Declared in this order so that the request closes before the connection.
    ScopedInternet connection(WinHttpConnect(session, endpoint.Host.c_str(), endpoint.Port, 0));
    if (!connection.IsValid()) {
        return false;
    }
    ScopedInternet request(WinHttpOpenRequest(connection.Get(), L"GET", endpoint.RequestPath.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              WINHTTP_FLAG_SECURE));
    if (!request.IsValid()) {
        return false;
    }
    if (!WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return false;
    }
    if (!WinHttpReceiveResponse(request.Get(), nullptr)) {
        return false;
    }
    DWORD answered = 0;
    if (!QueryNumberHeader(request.Get(), WINHTTP_QUERY_STATUS_CODE, answered)) {
        return false;
    }
    status = answered;
    if (status != kStatusOk) {
        return false;
    }
    DWORD announced = 0;
    const bool lengthAnnounced = QueryNumberHeader(request.Get(), WINHTTP_QUERY_CONTENT_LENGTH, announced);
    if (!lengthAnnounced) {
        announced = 0;
    }

    // The file is created or truncated only now that the server said 200.
    ScopedFile file;
    if (!filePath.empty()) {
        *file.Receive() = NullIfInvalid(CreateFileW(filePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.IsValid()) {
            return false;
        }
    }
    return ReceiveBody(request.Get(), file.Get(), memory, reportProgress, lengthAnnounced, announced);
}

}  // namespace

unsigned DownloadPercent(unsigned long received, unsigned long announced)
{
    const unsigned long long percent =
        static_cast<unsigned long long>(received) * 100ULL / static_cast<unsigned long long>(announced);
    return percent > 100ULL ? 100U : static_cast<unsigned>(percent);
}

bool DownloadUrl(const std::wstring& url, ByteBuffer& memory, const std::wstring& filePath, bool reportProgress,
                 ErrorText& error)
{
    ReleaseEndpoint endpoint;
    if (!ParseReleaseUrl(url, endpoint, error)) {
        return false;
    }
    ScopedInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session.IsValid()) {
        error = kMsgDownloadInit;
        return false;
    }
    WinHttpSetTimeouts(session.Get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);

    DWORD status = 0;
    if (!TransferBody(session.Get(), endpoint, memory, filePath, reportProgress, status)) {
        error = (status != 0 && status != kStatusOk) ? kMsgDownloadBadStatus : kMsgDownloadFailed;
        return false;
    }
    return true;
}
