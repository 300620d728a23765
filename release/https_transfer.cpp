#include "release/https_transfer.h"

#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "app/app_state.h"
#include "release/release_messages.h"
#include "release/url_policy.h"
#include "storage/scoped_handle.h"

#ifdef TAVRO_TEST_TIMING
const TransferLimits kTransferLimits = {2000, 1024, 6000};
#else
const TransferLimits kTransferLimits = kProductionLimits;
#endif

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

bool IsRedirect(DWORD status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool QueryLocation(HINTERNET request, std::wstring& location)
{
    DWORD size = 0;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return false;
    }
    location.resize(size / sizeof(wchar_t) + 1);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, &location[0], &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        location.clear();
        return false;
    }
    location.resize(size / sizeof(wchar_t));
    return true;
}

// Where a body goes: appended to Memory (memory mode), or into a file that
// is created at Path once the server said 200, or through File.
struct BodySink {
    ByteBuffer* Memory;
    const std::wstring* Path;
    HANDLE File;
};

// One whole fetch, all its redirects included. Every blocking WinHTTP call
// ends within its own time-out, so the limits are checked each time one
// returns.
struct FetchClock {
    ULONGLONG StartMs;
    bool HasDeadline;
};

bool PastDeadline(const FetchClock& clock)
{
    return clock.HasDeadline && GetTickCount64() - clock.StartMs >= kTransferLimits.MemoryDeadlineMs;
}

// Every read goes into one buffer of this size, and file-mode bytes are
// gathered there before they are written: one write per service read (about
// 16 KiB over TLS) costs a system call each.
constexpr DWORD kWriteBlockBytes = 256 * 1024;

constexpr unsigned kNoPercentShown = 101;

// Where the bytes of one body go, and the progress already shown of it.
struct BodyWriter {
    ByteBuffer* Memory;  // memory mode when not null
    HANDLE File;
    std::vector<unsigned char> Block;  // one read's bytes; in file mode, those not yet written
    DWORD Pending = 0;
    DWORD ProgressOf;  // the announced length when progress is posted, else 0
    unsigned ShownPercent = kNoPercentShown;
};

bool WriteAll(HANDLE file, const unsigned char* data, DWORD count)
{
    DWORD written = 0;
    return WriteFile(file, data, count, &written, nullptr) != FALSE && written == count;
}

bool Flush(BodyWriter& writer)
{
    const DWORD pending = writer.Pending;
    writer.Pending = 0;
    return pending == 0 || WriteAll(writer.File, writer.Block.data(), pending);
}

// Reads what the service reported available into the block, as much as it
// has room for (the rest comes with the next read). Memory mode appends the
// bytes at once; file mode keeps them pending and writes out a full block
// first.
bool ReadChunk(HINTERNET request, BodyWriter& writer, DWORD available, DWORD total, DWORD& read)
{
    if (writer.Pending == kWriteBlockBytes && !Flush(writer)) {
        return false;
    }
    const DWORD room = kWriteBlockBytes - writer.Pending;
    const auto start = writer.Block.begin() + writer.Pending;
    if (!WinHttpReadData(request, &*start, available < room ? available : room, &read)) {
        return false;
    }
    if (writer.Memory == nullptr) {
        writer.Pending += read;
        return true;
    }
    // total never passes the cap, so this cannot wrap.
    if (read > kMemoryBodyCap - total) {
        return false;
    }
    writer.Memory->insert(writer.Memory->end(), start, start + read);
    return true;
}

// Streams the body of an answered request into the writer. The body is
// complete when the service reports 0 bytes available.
bool ReceiveBody(HINTERNET request, BodyWriter& writer, bool lengthAnnounced, DWORD announced,
                 const FetchClock& clock)
{
    DWORD total = 0;
    LowSpeedWindow window = {GetTickCount64(), 0};
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return false;
        }
        if (available == 0) {
            break;
        }
        if (PastDeadline(clock) || LowSpeedRuleTrips(window, GetTickCount64(), total, kTransferLimits)) {
            return false;
        }
        DWORD read = 0;
        if (!ReadChunk(request, writer, available, total, read)) {
            return false;
        }
        total += read;
        // Posted only when the percentage moves: the window would show
        // nothing new for a repeated value.
        if (writer.ProgressOf != 0) {
            const unsigned percent = DownloadPercent(total, writer.ProgressOf);
            if (percent != writer.ShownPercent) {
                writer.ShownPercent = percent;
                PostToMainWindow(WM_INSTALLER_PROGRESS, percent);
            }
        }
    }
    // Some HTTP stacks report a body cut short by a dropped connection as
    // complete; a body shorter than its announced length is a failed read.
    return !lengthAnnounced || total >= announced;
}

// One request: connects, sends the GET and receives the body. `status` is
// the status the server answered, or 0 when none was read; a redirect's
// Location goes to `location`.
bool TransferBody(HINTERNET session, const ReleaseEndpoint& endpoint, const BodySink& sink, bool reportProgress,
                  const FetchClock& clock, DWORD& status, std::wstring& location)
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
    // A server that accepts and never sends headers is held to the low-speed
    // window too. The receive time-out does not cover that wait everywhere,
    // and closing the handle from another thread does not end it under Wine.
    DWORD headerWaitMs = static_cast<DWORD>(kTransferLimits.LowSpeedWindowMs);
    if (!WinHttpSetOption(request.Get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headerWaitMs,
                          sizeof(headerWaitMs))) {
        return false;
    }
    if (!WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return false;
    }
    if (!WinHttpReceiveResponse(request.Get(), nullptr) || PastDeadline(clock)) {
        return false;
    }
    DWORD answered = 0;
    if (!QueryNumberHeader(request.Get(), WINHTTP_QUERY_STATUS_CODE, answered)) {
        return false;
    }
    status = answered;
    if (IsRedirect(status)) {
        QueryLocation(request.Get(), location);
        return false;
    }
    if (status != kStatusOk) {
        return false;
    }
    DWORD announced = 0;
    const bool lengthAnnounced = QueryNumberHeader(request.Get(), WINHTTP_QUERY_CONTENT_LENGTH, announced);
    if (!lengthAnnounced) {
        announced = 0;
    }
    if (sink.Memory != nullptr && lengthAnnounced && announced > kMemoryBodyCap) {
        return false;
    }

    // The file is created or truncated only now that the server said 200.
    ScopedFile file;
    HANDLE target = sink.File;
    if (sink.Path != nullptr) {
        *file.Receive() = NullIfInvalid(CreateFileW(sink.Path->c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.IsValid()) {
            return false;
        }
        target = file.Get();
    }
    BodyWriter writer = {sink.Memory, target, std::vector<unsigned char>(kWriteBlockBytes), 0,
                         reportProgress ? announced : 0};
    const bool received = ReceiveBody(request.Get(), writer, lengthAnnounced, announced, clock);
    // Bytes received before a failure are kept in the file as well.
    const bool flushed = Flush(writer);  // memory mode has nothing pending
    return received && flushed;
}

bool Download(const std::wstring& url, const BodySink& sink, bool reportProgress, ErrorText& error)
{
    const FetchClock clock = {GetTickCount64(), sink.Memory != nullptr};
    ReleaseEndpoint endpoint;
    if (!ParseReleaseUrl(url, endpoint, error)) {
        return false;
    }
    ScopedInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    // Left to itself the service follows a redirect to any https host.
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!session.IsValid() || !WinHttpSetOption(session.Get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy,
                                                sizeof(redirectPolicy))) {
        error = kMsgDownloadInit;
        return false;
    }
    WinHttpSetTimeouts(session.Get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);

    std::wstring current = url;
    for (unsigned redirects = 0;; ++redirects) {
        DWORD status = 0;
        std::wstring location;
        if (TransferBody(session.Get(), endpoint, sink, reportProgress, clock, status, location)) {
            return true;
        }
        if (!IsRedirect(status) || location.empty() || redirects == kMaxRedirects || PastDeadline(clock)) {
            error = (status != 0 && status != kStatusOk) ? kMsgDownloadBadStatus : kMsgDownloadFailed;
            return false;
        }
        // Nothing is sent to a target the policy refuses.
        current = ResolveRedirectTarget(current, location);
        if (!ParseReleaseUrl(current, endpoint, error)) {
            return false;
        }
    }
}

}  // namespace

unsigned DownloadPercent(unsigned long received, unsigned long announced)
{
    const unsigned long long percent =
        static_cast<unsigned long long>(received) * 100ULL / static_cast<unsigned long long>(announced);
    return percent > 100ULL ? 100U : static_cast<unsigned>(percent);
}

bool LowSpeedRuleTrips(LowSpeedWindow& window, ULONGLONG nowMs, unsigned long long received,
                       const TransferLimits& limits)
{
    if (received - window.StartBytes >= limits.LowSpeedFloorBytes) {
        window = {nowMs, received};
        return false;
    }
    return nowMs - window.StartMs >= limits.LowSpeedWindowMs;
}

bool DownloadUrl(const std::wstring& url, ByteBuffer& memory, const std::wstring& filePath, bool reportProgress,
                 ErrorText& error)
{
    const BodySink sink = {filePath.empty() ? &memory : nullptr, filePath.empty() ? nullptr : &filePath, nullptr};
    return Download(url, sink, reportProgress, error);
}

bool DownloadUrlToFile(const std::wstring& url, HANDLE file, bool reportProgress, ErrorText& error)
{
    const BodySink sink = {nullptr, nullptr, file};
    return Download(url, sink, reportProgress, error);
}
