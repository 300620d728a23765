#include "release/transfer/https_transfer.h"

#include <windows.h>
#include <winhttp.h>

#include "app/app_state.h"
#include "platform/scoped_handle.h"
#include "release/manifest.h"
#include "release/release_messages.h"
#include "release/transfer/async_request.h"
#include "release/transfer/proxy_settings.h"
#include "release/url_policy.h"

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

// A session for one request: through `proxy` ("host:port"), or direct when
// it is empty.
HINTERNET OpenSession(const std::wstring& proxy)
{
    const HINTERNET session =
        proxy.empty() ? WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC)
                      : WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(),
                                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    // Left to itself the service follows a redirect to any https host.
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (session == nullptr ||
        !WinHttpSetOption(session, WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy, sizeof(redirectPolicy))) {
        if (session != nullptr) {
            WinHttpCloseHandle(session);
        }
        return nullptr;
    }
    WinHttpSetTimeouts(session, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
    return session;
}

constexpr ULONGLONG kNoDeadline = ~0ULL;

// The deadlines of one whole fetch, all its redirects included.
struct FetchDeadlines {
    // Each request's response headers: one low-speed window from the first
    // request's start (once its proxy is chosen), so that a chain of slow
    // redirects cannot stretch it; kNoDeadline until then.
    ULONGLONG HeadersMs;
    ULONGLONG WholeMs;  // memory mode: the whole fetch; else kNoDeadline
};

ULONGLONG Earlier(ULONGLONG a, ULONGLONG b)
{
    return a < b ? a : b;
}

constexpr unsigned kNoPercentShown = 101;

// Where the bytes of one body go: appended to Memory (memory mode), or
// written through File, gathered in the request's read block first. And the
// progress already shown of it.
struct BodySink {
    ByteBuffer* Memory;
    HANDLE File;
    bool ReportProgress;
    unsigned char* Block = nullptr;  // one read's bytes; bound for File, those not yet written
    DWORD Pending = 0;
    DWORD ProgressOf = 0;  // the announced length when progress is posted, else 0
    unsigned ShownPercent = kNoPercentShown;
};

bool WriteAll(HANDLE file, const unsigned char* data, DWORD count)
{
    DWORD written = 0;
    return WriteFile(file, data, count, &written, nullptr) != FALSE && written == count;
}

bool Flush(BodySink& sink)
{
    const DWORD pending = sink.Pending;
    sink.Pending = 0;
    return pending == 0 || WriteAll(sink.File, sink.Block, pending);
}

// Reads what the service reported available into the block, as much as it
// has room for (the rest comes with the next read). Memory mode appends the
// bytes at once; bytes for a file stay pending, and a full block is written
// out first.
bool ReadChunk(const AsyncRequest& request, BodySink& sink, DWORD available, DWORD total, ULONGLONG deadlineMs,
               DWORD& read)
{
    if (sink.Pending == kReadBlockBytes && !Flush(sink)) {
        return false;
    }
    const DWORD room = kReadBlockBytes - sink.Pending;
    unsigned char* start = sink.Block + sink.Pending;
    const DWORD size = available < room ? available : room;
    if (!request.Call([&] { return WinHttpReadData(request.Handle(), start, size, nullptr); },
                      WINHTTP_CALLBACK_STATUS_READ_COMPLETE, deadlineMs)) {
        return false;
    }
    read = request.State().Count;
    if (sink.Memory == nullptr) {
        sink.Pending += read;
        return true;
    }
    // total never passes the cap, so this cannot wrap.
    if (read > kMemoryBodyCap - total) {
        return false;
    }
    sink.Memory->insert(sink.Memory->end(), start, start + read);
    return true;
}

// Streams the body of an answered request into the sink. The body is
// complete when the service reports 0 bytes available. Each wait ends when
// the low-speed window in progress does, or the fetch's deadline.
bool ReceiveBody(const AsyncRequest& request, BodySink& sink, bool lengthAnnounced, DWORD announced,
                 const FetchDeadlines& deadlines)
{
    DWORD total = 0;
    LowSpeedWindow window = {GetTickCount64(), 0};
    for (;;) {
        const ULONGLONG deadlineMs = Earlier(window.StartMs + kTransferLimits.LowSpeedWindowMs, deadlines.WholeMs);
        if (!request.Call([&] { return WinHttpQueryDataAvailable(request.Handle(), nullptr); },
                          WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE, deadlineMs)) {
            return false;
        }
        const DWORD available = request.State().Count;
        if (available == 0) {
            break;
        }
        DWORD read = 0;
        if (!ReadChunk(request, sink, available, total, deadlineMs, read)) {
            return false;
        }
        total += read;
        if (LowSpeedRuleTrips(window, GetTickCount64(), total, kTransferLimits)) {
            return false;
        }
        // Posted only when the percentage moves: the window would show
        // nothing new for a repeated value.
        if (sink.ProgressOf != 0) {
            const unsigned percent = DownloadPercent(total, sink.ProgressOf);
            if (percent != sink.ShownPercent) {
                sink.ShownPercent = percent;
                PostToMainWindow(WM_INSTALLER_PROGRESS, percent);
            }
        }
    }
    // Some HTTP stacks report a body cut short by a dropped connection as
    // complete; a body shorter than its announced length is a failed read.
    return !lengthAnnounced || total >= announced;
}

// How one request was answered.
struct Answer {
    bool ThroughProxy = false;
    bool ProxyUnreachable = false;  // the proxy could not be reached: another may be tried
    DWORD Status = 0;               // the status the server answered, or 0 when none was read
    std::wstring Location;          // a redirect's target
};

// Failures of a proxy itself, before anything was sent through it.
bool IsUnreachable(DWORD error)
{
    return error == ERROR_WINHTTP_CANNOT_CONNECT || error == ERROR_WINHTTP_NAME_NOT_RESOLVED ||
           error == ERROR_WINHTTP_TIMEOUT;
}

// A body whose end only the connection's end marks cannot be told from one
// cut short by a dropped connection: only a Content-Length or chunked framing
// (whose end the service checks) says where it ends.
bool BodyEndIsFramed(HINTERNET request, bool lengthAnnounced)
{
    if (lengthAnnounced) {
        return true;
    }
    wchar_t encoding[64] = {};
    DWORD size = sizeof(encoding);
    return WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX, encoding,
                               &size, WINHTTP_NO_HEADER_INDEX) &&
           FoldAsciiCase(encoding).find(L"chunked") != std::wstring::npos;
}

// Sends the GET and waits for its response headers; a proxy that asks who
// is there gets the user's Windows logon, once. False when no status could
// be read.
bool SendAndReadStatus(AsyncRequest& request, const FetchDeadlines& deadlines, Answer& answer)
{
    // Name resolution, connection, TLS handshake and the response headers
    // of every request of the fetch share one low-speed window.
    const ULONGLONG headersDeadlineMs = Earlier(deadlines.HeadersMs, deadlines.WholeMs);
    const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&request.State());
    for (bool offered = false;;) {
        const auto send = [&] {
            return WinHttpSendRequest(request.Handle(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                      0, context);
        };
        const auto receive = [&] { return WinHttpReceiveResponse(request.Handle(), nullptr); };
        if (!request.Call(send, WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE, headersDeadlineMs)) {
            answer.ProxyUnreachable = answer.ThroughProxy && IsUnreachable(request.State().Error);
            return false;
        }
        if (!request.Call(receive, WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE, headersDeadlineMs) ||
            !QueryNumberHeader(request.Handle(), WINHTTP_QUERY_STATUS_CODE, answer.Status)) {
            return false;
        }
        // The status is the responder's word: without a proxy it is the
        // origin's, which never gets the logon.
        if (answer.Status != HTTP_STATUS_PROXY_AUTH_REQ || !answer.ThroughProxy || offered ||
            !OfferWindowsLogonToProxy(request.Handle())) {
            return true;
        }
        offered = true;
    }
}

// One GET on a session: connects, sends, waits for the headers and streams
// the body of a 200 into the sink. A redirect's target goes to the answer.
bool GetOnce(HINTERNET session, const ReleaseEndpoint& endpoint, BodySink& sink, const FetchDeadlines& deadlines,
             Answer& answer)
{
    // Declared in this order so that the request closes before the connection.
    ScopedInternet connection(WinHttpConnect(session, endpoint.Host.c_str(), endpoint.Port, 0));
    AsyncRequest request;
    if (!connection.IsValid() || !request.Open(connection.Get(), endpoint.RequestPath) ||
        !SendAndReadStatus(request, deadlines, answer)) {
        return false;
    }
    if (IsRedirect(answer.Status)) {
        QueryLocation(request.Handle(), answer.Location);
        return false;
    }
    if (answer.Status != kStatusOk) {
        return false;
    }
    DWORD announced = 0;
    const bool lengthAnnounced = QueryNumberHeader(request.Handle(), WINHTTP_QUERY_CONTENT_LENGTH, announced);
    if (!lengthAnnounced) {
        announced = 0;
    }
    // The manifest is read whole before anything trusts it: where it ends
    // must be certain.
    if (sink.Memory != nullptr &&
        ((lengthAnnounced && announced > kMemoryBodyCap) || !BodyEndIsFramed(request.Handle(), lengthAnnounced))) {
        return false;
    }
    sink.Block = request.State().Block.data();
    sink.Pending = 0;
    sink.ProgressOf = sink.ReportProgress ? announced : 0;
    const bool received = ReceiveBody(request, sink, lengthAnnounced, announced, deadlines);
    // Bytes received before a failure are kept in the file as well.
    const bool flushed = Flush(sink);  // memory mode has nothing pending
    return received && flushed;
}

// One GET of `endpoint` by the routes the user's settings choose for `url`:
// the next proxy of a list is tried when one cannot be reached.
bool GetByRoutes(const std::wstring& url, const ReleaseEndpoint& endpoint, BodySink& sink,
                 FetchDeadlines& deadlines, Answer& answer, ErrorText& error)
{
    const ProxyChoice choice = ChooseProxyForUrl(url, endpoint.Host, endpoint.Port);
    if (deadlines.HeadersMs == kNoDeadline) {
        deadlines.HeadersMs = GetTickCount64() + kTransferLimits.LowSpeedWindowMs;
    }
    for (const std::wstring& route : choice.Routes) {
        ScopedInternet session(OpenSession(route));
        if (!session.IsValid()) {
            error = kMsgDownloadInit;
            return false;
        }
        answer = Answer();
        answer.ThroughProxy = !route.empty();
        if (GetOnce(session.Get(), endpoint, sink, deadlines, answer)) {
            return true;
        }
        if (!answer.ProxyUnreachable) {
            break;
        }
    }
    error = TransferFailureSentence(answer.Status, answer.ThroughProxy);
    return false;
}

bool Download(const std::wstring& url, BodySink& sink, ErrorText& error)
{
    FetchDeadlines deadlines = {kNoDeadline, sink.Memory != nullptr
                                                 ? GetTickCount64() + kTransferLimits.MemoryDeadlineMs
                                                 : kNoDeadline};
    // A fragment names a place inside the document for the client; it is
    // never sent.
    std::wstring current = WithoutFragment(url);
    ReleaseEndpoint endpoint;
    if (!ParseReleaseUrl(current, endpoint, error)) {
        return false;
    }
    for (unsigned redirects = 0;; ++redirects) {
        // The proxy is chosen for each URL: a configuration script may answer
        // each one differently.
        Answer answer;
        ErrorText failure;
        if (GetByRoutes(current, endpoint, sink, deadlines, answer, failure)) {
            return true;
        }
        if (!IsRedirect(answer.Status) || answer.Location.empty() || redirects == kMaxRedirects) {
            error = failure;
            return false;
        }
        // The fetch's time is up: the next request would not be waited for.
        if (GetTickCount64() >= Earlier(deadlines.HeadersMs, deadlines.WholeMs)) {
            error = kMsgDownloadFailed;
            return false;
        }
        // Nothing is sent to a target the policy refuses.
        current = WithoutFragment(ResolveRedirectTarget(current, answer.Location));
        if (!ParseReleaseUrl(current, endpoint, error)) {
            return false;
        }
    }
}

}  // namespace

const wchar_t* TransferFailureSentence(DWORD status, bool throughProxy)
{
    if (status == HTTP_STATUS_PROXY_AUTH_REQ && throughProxy) {
        return kMsgProxySignIn;
    }
    return (status != 0 && status != kStatusOk) ? kMsgDownloadBadStatus : kMsgDownloadFailed;
}

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

bool DownloadUrl(const std::wstring& url, ByteBuffer& memory, bool reportProgress, ErrorText& error)
{
    BodySink sink = {&memory, nullptr, reportProgress};
    return Download(url, sink, error);
}

bool DownloadUrlToFile(const std::wstring& url, HANDLE file, bool reportProgress, ErrorText& error)
{
    BodySink sink = {nullptr, file, reportProgress};
    return Download(url, sink, error);
}
