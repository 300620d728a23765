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
// written through File, gathered in the request's read block first. And
// what is known of the body so far, across the requests that resume it.
struct BodySink {
    ByteBuffer* Memory = nullptr;
    HANDLE File = nullptr;
    bool ReportProgress = false;
    ResumeNotice OnResume = nullptr;
    LARGE_INTEGER FileStart = {};    // where the body begins in File
    unsigned char* Block = nullptr;  // one read's bytes; bound for File, those not yet written
    DWORD Pending = 0;
    unsigned long long Stored = 0;  // body bytes received, across resumed requests
    unsigned long long Length = 0;  // the whole body's announced length; 0: not announced
    std::wstring Validator;         // what If-Range names when the rest is asked for
    bool Resuming = false;          // the next request asks for the rest, from Stored
    bool WriteFailed = false;
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
    if (pending != 0 && !WriteAll(sink.File, sink.Block, pending)) {
        sink.WriteFailed = true;
    }
    return !sink.WriteFailed;
}

// A server that sent the whole file again: the body starts anew.
bool StartFileAgain(BodySink& sink)
{
    sink.Stored = 0;
    if (!SetFilePointerEx(sink.File, sink.FileStart, nullptr, FILE_BEGIN) || !SetEndOfFile(sink.File)) {
        sink.WriteFailed = true;
    }
    return !sink.WriteFailed;
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

// Streams the body of an answered request into the sink, to `expectedEnd`
// (0: until the service reports 0 bytes available). Each wait ends when the
// low-speed window in progress does, or the fetch's deadline.
bool ReceiveBody(const AsyncRequest& request, BodySink& sink, unsigned long long expectedEnd,
                 const FetchDeadlines& deadlines)
{
    DWORD total = 0;  // this request's bytes
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
        sink.Stored += read;
        if (LowSpeedRuleTrips(window, GetTickCount64(), total, kTransferLimits)) {
            return false;
        }
        // Posted only when the percentage moves: the window would show
        // nothing new for a repeated value. A resumed body goes on from
        // where it was.
        if (sink.ReportProgress && sink.Length != 0) {
            const unsigned percent = DownloadPercent(static_cast<unsigned long>(sink.Stored),
                                                     static_cast<unsigned long>(sink.Length));
            if (percent != sink.ShownPercent) {
                sink.ShownPercent = percent;
                PostToMainWindow(WM_INSTALLER_PROGRESS, percent);
            }
        }
    }
    // Some HTTP stacks report a body cut short by a dropped connection as
    // complete; a body shorter than its announced length is a failed read.
    return expectedEnd == 0 || sink.Stored >= expectedEnd;
}

// How one request was answered.
struct Answer {
    bool ThroughProxy = false;
    bool ProxyUnreachable = false;  // the proxy could not be reached: another may be tried
    DWORD Status = 0;               // the status the server answered, or 0 when none was read
    std::wstring Location;          // a redirect's target
    bool BodyCut = false;           // the body ended early: the rest may be asked for
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

// A response header as text; empty when absent.
std::wstring QueryTextHeader(HINTERNET request, DWORD query)
{
    wchar_t text[256] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text, &size, WINHTTP_NO_HEADER_INDEX)) {
        return std::wstring();
    }
    return std::wstring(text, size / sizeof(wchar_t));
}

// The headers that ask for the rest of the body.
std::wstring ResumeHeaders(const BodySink& sink)
{
    std::wstring headers = L"Range: bytes=" + std::to_wstring(sink.Stored) + L"-\r\n";
    if (!sink.Validator.empty()) {
        headers += L"If-Range: " + sink.Validator + L"\r\n";
    }
    return headers;
}

// A 206 carries exactly the rest: it goes on at the byte asked for and names
// the total length the first answer announced.
bool GoesOnWhereItStopped(HINTERNET request, const BodySink& sink)
{
    unsigned long long first = 0;
    unsigned long long last = 0;
    unsigned long long total = 0;
    return ParseContentRange(QueryTextHeader(request, WINHTTP_QUERY_CONTENT_RANGE), first, last, total) &&
           first == sink.Stored && total == sink.Length && last + 1 == total;
}

// Sends the GET and waits for its response headers; a proxy that asks who
// is there gets the user's Windows logon, once. False when no status could
// be read.
bool SendAndReadStatus(AsyncRequest& request, const BodySink& sink, const FetchDeadlines& deadlines,
                       Answer& answer)
{
    const std::wstring headers = sink.Resuming ? ResumeHeaders(sink) : std::wstring();
    // Name resolution, connection, TLS handshake and the response headers
    // of every request of the fetch share one low-speed window.
    const ULONGLONG headersDeadlineMs = Earlier(deadlines.HeadersMs, deadlines.WholeMs);
    const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&request.State());
    for (bool offered = false;;) {
        const auto send = [&] {
            return WinHttpSendRequest(request.Handle(),
                                      headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                                      static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, context);
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
// the body of a 200 (or, for the rest of a body, of a matching 206) into the
// sink. A redirect's target goes to the answer.
bool GetOnce(HINTERNET session, const ReleaseEndpoint& endpoint, BodySink& sink, const FetchDeadlines& deadlines,
             Answer& answer)
{
    // Declared in this order so that the request closes before the connection.
    ScopedInternet connection(WinHttpConnect(session, endpoint.Host.c_str(), endpoint.Port, 0));
    AsyncRequest request;
    if (!connection.IsValid() || !request.Open(connection.Get(), endpoint.RequestPath) ||
        !SendAndReadStatus(request, sink, deadlines, answer)) {
        return false;
    }
    if (IsRedirect(answer.Status) && !sink.Resuming) {
        QueryLocation(request.Handle(), answer.Location);
        return false;
    }
    const bool rest = sink.Resuming && answer.Status == HTTP_STATUS_PARTIAL_CONTENT;
    if (answer.Status != kStatusOk && !rest) {
        return false;
    }
    DWORD announced = 0;
    const bool lengthAnnounced = QueryNumberHeader(request.Handle(), WINHTTP_QUERY_CONTENT_LENGTH, announced);
    // The manifest is read whole before anything trusts it: where it ends
    // must be certain.
    if (sink.Memory != nullptr &&
        ((lengthAnnounced && announced > kMemoryBodyCap) || !BodyEndIsFramed(request.Handle(), lengthAnnounced))) {
        return false;
    }
    if (rest && !GoesOnWhereItStopped(request.Handle(), sink)) {
        return false;
    }
    if (!rest) {
        if (sink.Stored != 0 && !StartFileAgain(sink)) {
            return false;
        }
        sink.Length = lengthAnnounced ? announced : 0;
        sink.Validator = IfRangeValidator(QueryTextHeader(request.Handle(), WINHTTP_QUERY_ETAG),
                                          QueryTextHeader(request.Handle(), WINHTTP_QUERY_LAST_MODIFIED));
    }
    if (sink.Resuming && sink.OnResume != nullptr) {
        sink.OnResume(sink.Stored);
    }
    sink.Resuming = false;
    sink.Block = request.State().Block.data();
    sink.Pending = 0;
    const bool received = ReceiveBody(request, sink, sink.Length, deadlines);
    // Bytes received before a failure are kept in the file as well.
    const bool flushed = Flush(sink);  // memory mode has nothing pending
    // Where it ends is known and a disk that took every byte: the rest can
    // be asked for.
    answer.BodyCut = !received && flushed && sink.File != nullptr && sink.Length != 0;
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

// After a body ended early: asks the same URL for the rest, at most
// kMaxResumes times, each request under deadlines of its own; a request
// that brings nothing counts too. When none completes the body, the
// download fails with the sentence of the first drop.
bool AskForTheRest(const std::wstring& url, const ReleaseEndpoint& endpoint, BodySink& sink,
                   const ErrorText& dropped, ErrorText& error)
{
    DWORD pauseMs = kTransferLimits.FirstResumePauseMs;
    for (unsigned resumes = 0; resumes < kMaxResumes; ++resumes, pauseMs *= 2) {
        Sleep(pauseMs);
        FetchDeadlines deadlines = {kNoDeadline, kNoDeadline};
        Answer answer;
        ErrorText ignored;
        sink.Resuming = true;
        if (GetByRoutes(url, endpoint, sink, deadlines, answer, ignored)) {
            return true;
        }
        // Another drop, or no answer at all, is tried again; any other
        // answer (416, another status, a range that does not go on where
        // the body stopped) ends it.
        const bool droppedAgain = answer.BodyCut || (answer.Status == 0 && !sink.WriteFailed);
        if (!droppedAgain) {
            break;
        }
    }
    error = dropped;
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
        if (answer.BodyCut) {
            return AskForTheRest(current, endpoint, sink, failure, error);
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
    BodySink sink;
    sink.Memory = &memory;
    sink.ReportProgress = reportProgress;
    return Download(url, sink, error);
}

bool DownloadUrlToFile(const std::wstring& url, HANDLE file, bool reportProgress, ErrorText& error,
                       ResumeNotice onResume)
{
    BodySink sink;
    sink.File = file;
    sink.ReportProgress = reportProgress;
    sink.OnResume = onResume;
    const LARGE_INTEGER here = {};
    SetFilePointerEx(file, here, &sink.FileStart, FILE_CURRENT);
    return Download(url, sink, error);
}

bool ParseContentRange(const std::wstring& text, unsigned long long& first, unsigned long long& last,
                       unsigned long long& total)
{
    const std::wstring unit = L"bytes ";
    if (text.compare(0, unit.size(), unit) != 0) {
        return false;
    }
    // Three runs of digits, joined by "-" and "/", and nothing else.
    unsigned long long values[3] = {};
    size_t at = unit.size();
    for (int i = 0; i < 3; ++i) {
        const size_t start = at;
        while (at < text.size() && text[at] >= L'0' && text[at] <= L'9' && at - start < 19) {
            values[i] = values[i] * 10 + static_cast<unsigned long long>(text[at++] - L'0');
        }
        const wchar_t separator = i == 0 ? L'-' : i == 1 ? L'/' : L'\0';
        if (at == start || (separator != L'\0' ? (at >= text.size() || text[at++] != separator) : at != text.size())) {
            return false;
        }
    }
    if (values[0] > values[1] || values[1] >= values[2]) {
        return false;
    }
    first = values[0];
    last = values[1];
    total = values[2];
    return true;
}

std::wstring IfRangeValidator(const std::wstring& etag, const std::wstring& lastModified)
{
    if (!etag.empty() && etag.compare(0, 2, L"W/") != 0) {
        return etag;
    }
    return lastModified;
}
