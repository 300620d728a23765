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
// WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3, which older SDK headers lack.
constexpr DWORD kSecureProtocolTls13 = 0x00002000;

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

// The longest header value read: a validator, a length or a Location is far
// shorter; a longer value is taken as absent.
constexpr DWORD kMaxHeaderBytes = 16 * 1024;

// A response header as text; false when absent or longer than any sane one.
bool QueryTextHeader(HINTERNET request, DWORD query, std::wstring& text)
{
    text.clear();
    DWORD size = 0;
    WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 || size > kMaxHeaderBytes) {
        return false;
    }
    text.resize(size / sizeof(wchar_t) + 1);
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, &text[0], &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        text.clear();
        return false;
    }
    text.resize(size / sizeof(wchar_t));
    return true;
}

std::wstring TextHeader(HINTERNET request, DWORD query)
{
    std::wstring text;
    QueryTextHeader(request, query, text);
    return text;
}

bool IsRedirect(DWORD status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// TLS 1.2 and, where the system has it, 1.3; never an older version, which
// an old system's defaults may still offer. A system without TLS 1.3
// refuses the pair and gets TLS 1.2 alone.
bool RequireCurrentTls(HINTERNET session)
{
    for (DWORD protocols : {DWORD(WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | kSecureProtocolTls13),
                            DWORD(WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2)}) {
        if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) {
            return true;
        }
    }
    return false;
}

// A session for one request: through `proxy` ("host:port"), or direct when
// it is empty. On failure, the service's error is in `detail`.
HINTERNET OpenSession(const std::wstring& proxy, const std::wstring& url, FailureDetail& detail)
{
    const HINTERNET session =
        proxy.empty() ? WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC)
                      : WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(),
                                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    // Left to itself the service follows a redirect to any https host.
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    const wchar_t* stage = L"opening a session for";
    if (session != nullptr) {
        stage = L"setting the redirect policy for";
        if (WinHttpSetOption(session, WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy, sizeof(redirectPolicy))) {
            stage = L"asking for TLS 1.2 or later for";
            if (RequireCurrentTls(session)) {
                WinHttpSetTimeouts(session, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                                   kReceiveTimeoutMs);
                return session;
            }
        }
    }
    detail = DescribeFailure(WinHttpErrorCause(GetLastError()), stage, UrlForLog(url));
    if (session != nullptr) {
        WinHttpCloseHandle(session);
    }
    return nullptr;
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

std::wstring Seconds(ULONGLONG ms)
{
    return std::to_wstring(ms / 1000) + L" s";
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
    DWORD WriteError = 0;  // the Windows error of the write that failed
    unsigned ShownPercent = kNoPercentShown;
};

bool WriteAll(HANDLE file, const unsigned char* data, DWORD count)
{
    DWORD written = 0;
    if (!WriteFile(file, data, count, &written, nullptr)) {
        return false;
    }
    // A write that took only part of the bytes reports no error of its own:
    // the disk had no room for the rest.
    if (written != count) {
        SetLastError(ERROR_DISK_FULL);
        return false;
    }
    return true;
}

bool NoteWriteFailure(BodySink& sink)
{
    sink.WriteFailed = true;
    sink.WriteError = GetLastError();
    return false;
}

bool Flush(BodySink& sink)
{
    const DWORD pending = sink.Pending;
    sink.Pending = 0;
    if (pending != 0 && !WriteAll(sink.File, sink.Block, pending)) {
        NoteWriteFailure(sink);
    }
    return !sink.WriteFailed;
}

// A server that sent the whole file again: the body starts anew.
bool StartFileAgain(BodySink& sink)
{
    sink.Stored = 0;
    if (!SetFilePointerEx(sink.File, sink.FileStart, nullptr, FILE_BEGIN) || !SetEndOfFile(sink.File)) {
        NoteWriteFailure(sink);
    }
    return !sink.WriteFailed;
}

// How one request was answered.
struct Answer {
    bool ThroughProxy = false;
    bool ProxyUnreachable = false;  // the proxy could not be reached: another may be tried
    DWORD Status = 0;               // the status the server answered, or 0 when none was read
    std::wstring Location;          // a redirect's target
    bool BodyCut = false;           // the body ended early: the rest may be asked for
    bool Unacceptable = false;      // an answer no server should give: its length, its size
    FailureDetail Detail;           // what failed, for the log
};

bool Fail(Answer& answer, const std::wstring& cause, const wchar_t* stage, const std::wstring& url)
{
    answer.Detail = DescribeFailure(cause, stage, url);
    return false;
}

// Why a call of the service did not complete: its error, or the deadline
// that passed first (`timeUp` says which).
std::wstring CallFailure(const AsyncRequest& request, const std::wstring& timeUp)
{
    const RequestState& state = request.State();
    return state.Error != 0 ? WinHttpErrorCause(state.Error, state.SecureFailure) : timeUp;
}

std::wstring LowSpeedCause()
{
    return L"fewer than " + std::to_wstring(kTransferLimits.LowSpeedFloorBytes) + L" bytes in " +
           Seconds(kTransferLimits.LowSpeedWindowMs);
}

// The cause of a wait that ended at `deadlineMs` without its completion.
std::wstring TimeUpCause(ULONGLONG deadlineMs, const FetchDeadlines& deadlines, const std::wstring& otherwise)
{
    return deadlineMs == deadlines.WholeMs ? L"the fetch not done within " + Seconds(kTransferLimits.MemoryDeadlineMs)
                                           : otherwise;
}

// Reads what the service reported available into the block, as much as it
// has room for and the body may still bring (the rest comes with the next
// read). Memory mode appends the bytes at once; bytes for a file stay
// pending, and a full block is written out first.
bool ReadChunk(const AsyncRequest& request, BodySink& sink, DWORD available, DWORD total, ULONGLONG deadlineMs,
               DWORD& read, bool& aboveCap)
{
    if (sink.Pending == kReadBlockBytes && !Flush(sink)) {
        return false;
    }
    DWORD size = kReadBlockBytes - sink.Pending;
    if (available < size) {
        size = available;
    }
    // Never more than the announced length (what a server sends beyond it
    // is not the body), nor, without one, than the ceiling.
    const unsigned long long limit = sink.Length != 0      ? sink.Length
                                     : sink.Memory == nullptr ? kTransferLimits.InstallerCapBytes
                                                             : ~0ULL;
    if (limit - sink.Stored < size) {
        size = static_cast<DWORD>(limit - sink.Stored);
    }
    unsigned char* start = sink.Block + sink.Pending;
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
        aboveCap = true;
        return false;
    }
    sink.Memory->insert(sink.Memory->end(), start, start + read);
    return true;
}

// Streams the body of an answered request into the sink, to its announced
// length (when there is none, until the service reports 0 bytes available).
// Each wait ends when the low-speed window in progress does, or the fetch's
// deadline.
bool ReceiveBody(const AsyncRequest& request, BodySink& sink, const FetchDeadlines& deadlines,
                 const std::wstring& url, Answer& answer)
{
    DWORD total = 0;  // this request's bytes
    LowSpeedWindow window = {GetTickCount64(), 0};
    // A window that passed below the floor ends the body, unless the body is
    // already complete: then the service says so at once.
    bool slow = false;
    while (sink.Length == 0 || sink.Stored < sink.Length) {
        const ULONGLONG deadlineMs =
            slow ? 0 : Earlier(window.StartMs + kTransferLimits.LowSpeedWindowMs, deadlines.WholeMs);
        if (!request.Call([&] { return WinHttpQueryDataAvailable(request.Handle(), nullptr); },
                          WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE, deadlineMs)) {
            return Fail(answer, CallFailure(request, TimeUpCause(deadlineMs, deadlines, LowSpeedCause())),
                        L"reading", url);
        }
        const DWORD available = request.State().Count;
        if (available == 0) {
            break;
        }
        if (slow) {
            return Fail(answer, LowSpeedCause(), L"reading", url);
        }
        // A body without a length may not grow without end: the user's disk
        // is not the server's to fill.
        if (sink.Memory == nullptr && sink.Length == 0 && sink.Stored >= kTransferLimits.InstallerCapBytes) {
            answer.Unacceptable = true;
            return Fail(answer,
                        L"a body without a length beyond the ceiling of " +
                            std::to_wstring(kTransferLimits.InstallerCapBytes) + L" bytes",
                        L"reading", url);
        }
        DWORD read = 0;
        bool aboveCap = false;
        if (!ReadChunk(request, sink, available, total, deadlineMs, read, aboveCap)) {
            if (sink.WriteFailed) {
                return Fail(answer, WindowsErrorCause(sink.WriteError), L"writing the body of", url);
            }
            if (aboveCap) {
                return Fail(answer, L"a body above " + std::to_wstring(kMemoryBodyCap) + L" bytes", L"reading", url);
            }
            return Fail(answer, CallFailure(request, TimeUpCause(deadlineMs, deadlines, LowSpeedCause())),
                        L"reading", url);
        }
        total += read;
        sink.Stored += read;
        const bool complete = sink.Length != 0 && sink.Stored >= sink.Length;
        slow = LowSpeedRuleTrips(window, GetTickCount64(), total, complete, kTransferLimits);
        // Posted only when the percentage moves: the window would show
        // nothing new for a repeated value. A resumed body goes on from
        // where it was.
        if (sink.ReportProgress && sink.Length != 0) {
            const unsigned percent = DownloadPercent(sink.Stored, sink.Length);
            if (percent != sink.ShownPercent) {
                sink.ShownPercent = percent;
                PostToMainWindow(WM_INSTALLER_PROGRESS, percent);
            }
        }
    }
    // Some HTTP stacks report a body cut short by a dropped connection as
    // complete; a body shorter than its announced length is a failed read.
    if (sink.Stored < sink.Length) {
        return Fail(answer,
                    L"the body ended at " + std::to_wstring(sink.Stored) + L" of " + std::to_wstring(sink.Length) +
                        L" bytes",
                    L"reading", url);
    }
    return true;
}

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
    return lengthAnnounced ||
           FoldAsciiCase(TextHeader(request, WINHTTP_QUERY_TRANSFER_ENCODING)).find(L"chunked") != std::wstring::npos;
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

// Sends the GET and waits for its response headers; a proxy that asks who
// is there gets the user's Windows logon, once. False when no status could
// be read.
bool SendAndReadStatus(AsyncRequest& request, const BodySink& sink, const FetchDeadlines& deadlines,
                       const std::wstring& url, Answer& answer)
{
    const std::wstring headers = sink.Resuming ? ResumeHeaders(sink) : std::wstring();
    // Name resolution, connection, TLS handshake and the response headers
    // of every request of the fetch share one low-speed window.
    const ULONGLONG headersDeadlineMs = Earlier(deadlines.HeadersMs, deadlines.WholeMs);
    const std::wstring timeUp =
        TimeUpCause(headersDeadlineMs, deadlines,
                    L"no response headers within " + Seconds(kTransferLimits.LowSpeedWindowMs));
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
            return Fail(answer, CallFailure(request, timeUp), L"requesting", url);
        }
        if (!request.Call(receive, WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE, headersDeadlineMs)) {
            return Fail(answer, CallFailure(request, timeUp), L"requesting", url);
        }
        if (!QueryNumberHeader(request.Handle(), WINHTTP_QUERY_STATUS_CODE, answer.Status)) {
            return Fail(answer, WinHttpErrorCause(GetLastError()), L"reading the status of", url);
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

// What the answer says of its length; false (with the cause in the answer)
// for a Content-Length that is not a number this program can hold, or a
// body larger than the sink takes.
bool ReadAnnouncedLength(HINTERNET request, const BodySink& sink, const std::wstring& url, Answer& answer,
                         bool& announced, unsigned long long& length)
{
    std::wstring text;
    announced = QueryTextHeader(request, WINHTTP_QUERY_CONTENT_LENGTH, text);
    length = 0;
    if (!announced) {
        return true;
    }
    if (!ParseContentLength(text, length)) {
        answer.Unacceptable = true;
        return Fail(answer, L"Content-Length \"" + TextForLog(text) + L"\"", L"requesting", url);
    }
    const unsigned long long cap = sink.Memory != nullptr ? kMemoryBodyCap : kTransferLimits.InstallerCapBytes;
    if (length > cap) {
        // The manifest's cap has always given the connection sentence.
        answer.Unacceptable = sink.Memory == nullptr;
        return Fail(answer,
                    L"a body of " + std::to_wstring(length) + L" bytes, above the ceiling of " +
                        std::to_wstring(cap),
                    L"requesting", url);
    }
    return true;
}

// A 206 carries exactly the rest: it goes on at the byte asked for, names
// the total length the first answer announced, and its own length (when it
// gives one) is that of the rest.
bool GoesOnWhereItStopped(HINTERNET request, const BodySink& sink, bool announced, unsigned long long length,
                          const std::wstring& url, Answer& answer)
{
    const std::wstring range = TextHeader(request, WINHTTP_QUERY_CONTENT_RANGE);
    unsigned long long first = 0;
    unsigned long long last = 0;
    unsigned long long total = 0;
    if (ParseContentRange(range, first, last, total) && first == sink.Stored && total == sink.Length &&
        last + 1 == total && (!announced || length == last - first + 1)) {
        return true;
    }
    std::wstring cause = L"Content-Range \"" + TextForLog(range) + L"\"";
    if (announced) {
        cause += L" with Content-Length " + std::to_wstring(length);
    }
    cause += L" where bytes " + std::to_wstring(sink.Stored) + L"- of " + std::to_wstring(sink.Length) +
             L" were asked for";
    return Fail(answer, cause, L"resuming", url);
}

// "https://host[:port]/path" of an endpoint, as a log shows it.
std::wstring EndpointUrl(const ReleaseEndpoint& endpoint)
{
    const std::wstring port =
        endpoint.Port == INTERNET_DEFAULT_HTTPS_PORT ? std::wstring() : L":" + std::to_wstring(endpoint.Port);
    return UrlForLog(L"https://" + endpoint.Host + port + endpoint.RequestPath);
}

// One GET on a session: connects, sends, waits for the headers and streams
// the body of a 200 (or, for the rest of a body, of a matching 206) into the
// sink. A redirect's target goes to the answer.
bool GetOnce(HINTERNET session, const ReleaseEndpoint& endpoint, BodySink& sink, const FetchDeadlines& deadlines,
             Answer& answer)
{
    const std::wstring url = EndpointUrl(endpoint);
    // Declared in this order so that the request closes before the connection.
    ScopedInternet connection(WinHttpConnect(session, endpoint.Host.c_str(), endpoint.Port, 0));
    if (!connection.IsValid()) {
        return Fail(answer, WinHttpErrorCause(GetLastError()), L"connecting for", url);
    }
    AsyncRequest request;
    if (!request.Open(connection.Get(), endpoint.RequestPath)) {
        return Fail(answer, WinHttpErrorCause(GetLastError()), L"opening a request for", url);
    }
    if (!SendAndReadStatus(request, sink, deadlines, url, answer)) {
        return false;
    }
    if (IsRedirect(answer.Status) && !sink.Resuming) {
        QueryTextHeader(request.Handle(), WINHTTP_QUERY_LOCATION, answer.Location);
        return Fail(answer, HttpStatusCause(answer.Status) + (answer.Location.empty() ? L" without a Location" : L""),
                    L"requesting", url);
    }
    const bool rest = sink.Resuming && answer.Status == HTTP_STATUS_PARTIAL_CONTENT;
    if (answer.Status != kStatusOk && !rest) {
        return Fail(answer, HttpStatusCause(answer.Status), L"requesting", url);
    }
    bool announced = false;
    unsigned long long length = 0;
    if (!ReadAnnouncedLength(request.Handle(), sink, url, answer, announced, length)) {
        return false;
    }
    // The manifest is read whole before anything trusts it: where it ends
    // must be certain.
    if (sink.Memory != nullptr && !BodyEndIsFramed(request.Handle(), announced)) {
        return Fail(answer, L"a body without a Content-Length or chunked framing", L"requesting", url);
    }
    if (rest && !GoesOnWhereItStopped(request.Handle(), sink, announced, length, url, answer)) {
        return false;
    }
    if (!rest) {
        if (sink.Stored != 0 && !StartFileAgain(sink)) {
            return Fail(answer, WindowsErrorCause(sink.WriteError), L"starting the file again for", url);
        }
        sink.Length = length;
        sink.Validator = IfRangeValidator(TextHeader(request.Handle(), WINHTTP_QUERY_ETAG),
                                          TextHeader(request.Handle(), WINHTTP_QUERY_LAST_MODIFIED));
    }
    if (sink.Resuming && sink.OnResume != nullptr) {
        sink.OnResume(sink.Stored);
    }
    sink.Resuming = false;
    sink.Block = request.State().Block.data();
    sink.Pending = 0;
    const bool received = ReceiveBody(request, sink, deadlines, url, answer);
    // Bytes received before a failure are kept in the file as well.
    const bool flushed = Flush(sink);  // memory mode has nothing pending
    if (received && !flushed) {
        Fail(answer, WindowsErrorCause(sink.WriteError), L"writing the body of", url);
    }
    // Where it ends is known and a disk that took every byte: the rest can
    // be asked for.
    answer.BodyCut = !received && flushed && !answer.Unacceptable && sink.File != nullptr && sink.Length != 0;
    return received && flushed;
}

// The sentence for a failed request: a disk that took no more, an answer no
// server should give, or what the status says.
const wchar_t* FailureSentence(const BodySink& sink, const Answer& answer)
{
    if (sink.WriteFailed) {
        return kMsgInstallerNotWritten;
    }
    return answer.Unacceptable ? kMsgDownloadBadStatus : TransferFailureSentence(answer.Status, answer.ThroughProxy);
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
        FailureDetail sessionFailure;
        ScopedInternet session(OpenSession(route, url, sessionFailure));
        if (!session.IsValid()) {
            answer = Answer();
            answer.Detail = sessionFailure;
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
    error = FailureSentence(sink, answer);
    return false;
}

// After a body ended early: asks the same URL for the rest, at most
// kMaxResumes times, each request under deadlines of its own; a request
// that brings nothing counts too. When none completes the body, the
// download fails with the sentence of the first drop, or the disk's.
bool AskForTheRest(const std::wstring& url, const ReleaseEndpoint& endpoint, BodySink& sink,
                   const ErrorText& dropped, const FailureDetail& drop, ErrorText& error, FailureDetail& detail)
{
    DWORD pauseMs = kTransferLimits.FirstResumePauseMs;
    unsigned resumes = 0;
    Answer answer;
    ErrorText failure;
    while (resumes < kMaxResumes) {
        Sleep(pauseMs);
        pauseMs *= 2;
        ++resumes;
        FetchDeadlines deadlines = {kNoDeadline, kNoDeadline};
        sink.Resuming = true;
        if (GetByRoutes(url, endpoint, sink, deadlines, answer, failure)) {
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
    error = sink.WriteFailed ? failure : dropped;
    detail = drop.substr(0, drop.size() - 1) + L"; resumed " + std::to_wstring(resumes) +
             (resumes == 1 ? L" time, then: " : L" times, the last: ") + answer.Detail;
    return false;
}

bool Download(const std::wstring& url, BodySink& sink, ErrorText& error, FailureDetail* detail)
{
    FetchDeadlines deadlines = {kNoDeadline, sink.Memory != nullptr
                                                 ? GetTickCount64() + kTransferLimits.MemoryDeadlineMs
                                                 : kNoDeadline};
    FailureDetail unused;
    FailureDetail& why = detail != nullptr ? *detail : unused;
    // A fragment names a place inside the document for the client; it is
    // never sent.
    std::wstring current = WithoutFragment(url);
    ReleaseEndpoint endpoint;
    if (!ParseReleaseUrl(current, endpoint, error)) {
        why = DescribeFailure(L"a URL the policy refuses", L"requesting", UrlForLog(current));
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
            return AskForTheRest(current, endpoint, sink, failure, answer.Detail, error, why);
        }
        if (!IsRedirect(answer.Status) || answer.Location.empty() || redirects == kMaxRedirects) {
            error = failure;
            why = IsRedirect(answer.Status) && !answer.Location.empty()
                      ? DescribeFailure(L"more than " + std::to_wstring(kMaxRedirects) + L" redirects", L"the last from",
                                        EndpointUrl(endpoint))
                      : answer.Detail;
            return false;
        }
        // The fetch's time is up: the next request would not be waited for.
        if (GetTickCount64() >= Earlier(deadlines.HeadersMs, deadlines.WholeMs)) {
            error = kMsgDownloadFailed;
            why = DescribeFailure(L"no response headers within " + Seconds(kTransferLimits.LowSpeedWindowMs),
                                  L"after redirects, the last from", EndpointUrl(endpoint));
            return false;
        }
        // Nothing is sent to a target the policy refuses.
        const std::wstring from = EndpointUrl(endpoint);
        current = WithoutFragment(ResolveRedirectTarget(current, answer.Location));
        if (!ParseReleaseUrl(current, endpoint, error)) {
            why = DescribeFailure(L"a redirect to " + UrlForLog(TextForLog(current)), L"refused, from", from);
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

unsigned DownloadPercent(unsigned long long received, unsigned long long announced)
{
    // received * 100 cannot wrap below 2^57 bytes; beyond, the announced
    // length is divided first.
    const unsigned long long percent =
        announced < (1ULL << 57) ? received * 100ULL / announced : received / (announced / 100ULL);
    return percent > 100ULL ? 100U : static_cast<unsigned>(percent);
}

bool LowSpeedRuleTrips(LowSpeedWindow& window, ULONGLONG nowMs, unsigned long long received, bool bodyComplete,
                       const TransferLimits& limits)
{
    if (bodyComplete) {
        return false;
    }
    if (received - window.StartBytes >= limits.LowSpeedFloorBytes) {
        window = {nowMs, received};
        return false;
    }
    return nowMs - window.StartMs >= limits.LowSpeedWindowMs;
}

bool DownloadUrl(const std::wstring& url, ByteBuffer& memory, bool reportProgress, ErrorText& error,
                 FailureDetail* detail)
{
    BodySink sink;
    sink.Memory = &memory;
    sink.ReportProgress = reportProgress;
    return Download(url, sink, error, detail);
}

bool DownloadUrlToFile(const std::wstring& url, HANDLE file, bool reportProgress, ErrorText& error,
                       ResumeNotice onResume, FailureDetail* detail)
{
    BodySink sink;
    sink.File = file;
    sink.ReportProgress = reportProgress;
    sink.OnResume = onResume;
    const LARGE_INTEGER here = {};
    SetFilePointerEx(file, here, &sink.FileStart, FILE_CURRENT);
    return Download(url, sink, error, detail);
}

namespace {

// A run of decimal digits at `at`, at most 19 of them (below 2^63), as a
// number; false when there is none or it is longer.
bool ReadDigits(const std::wstring& text, size_t& at, unsigned long long& value)
{
    const size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= L'0' && text[at] <= L'9') {
        if (at - start == 19) {
            return false;
        }
        value = value * 10 + static_cast<unsigned long long>(text[at++] - L'0');
    }
    return at != start;
}

}  // namespace

bool ParseContentLength(const std::wstring& text, unsigned long long& length)
{
    size_t at = 0;
    unsigned long long value = 0;
    if (!ReadDigits(text, at, value) || at != text.size()) {
        return false;
    }
    length = value;
    return true;
}

bool ParseContentRange(const std::wstring& text, unsigned long long& first, unsigned long long& last,
                       unsigned long long& total)
{
    // Range units are case-insensitive.
    const std::wstring unit = L"bytes ";
    if (FoldAsciiCase(text.substr(0, unit.size())) != unit) {
        return false;
    }
    // Three runs of digits, joined by "-" and "/", and nothing else.
    unsigned long long values[3] = {};
    size_t at = unit.size();
    for (int i = 0; i < 3; ++i) {
        const wchar_t separator = i == 0 ? L'-' : i == 1 ? L'/' : L'\0';
        if (!ReadDigits(text, at, values[i]) ||
            (separator != L'\0' ? (at >= text.size() || text[at++] != separator) : at != text.size())) {
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

bool IsStrongEntityTag(const std::wstring& etag)
{
    // DQUOTE *etagc DQUOTE, etagc visible ASCII but the quote: what goes
    // back to the server in If-Range can be nothing else, no line end above
    // all, or the server's bytes would write a header of the request.
    if (etag.size() < 2 || etag.front() != L'"' || etag.back() != L'"') {
        return false;
    }
    for (size_t i = 1; i + 1 < etag.size(); ++i) {
        if (etag[i] < 0x21 || etag[i] > 0x7E || etag[i] == L'"') {
            return false;
        }
    }
    return true;
}

bool IsHttpDate(const std::wstring& date)
{
    // IMF-fixdate, the form servers send: "Sun, 06 Nov 1994 08:49:37 GMT".
    const std::wstring shape = L"Aaa, 00 Aaa 0000 00:00:00 GMT";
    if (date.size() != shape.size()) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        const wchar_t c = date[i];
        const bool fits = shape[i] == L'0'   ? (c >= L'0' && c <= L'9')
                          : shape[i] == L'A' ? (c >= L'A' && c <= L'Z')
                          : shape[i] == L'a' ? (c >= L'a' && c <= L'z')
                                             : c == shape[i];
        if (!fits) {
            return false;
        }
    }
    return true;
}

std::wstring IfRangeValidator(const std::wstring& etag, const std::wstring& lastModified)
{
    if (IsStrongEntityTag(etag)) {
        return etag;
    }
    return IsHttpDate(lastModified) ? lastModified : std::wstring();
}
