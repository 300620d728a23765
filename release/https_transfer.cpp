#include "release/https_transfer.h"

#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "app/app_state.h"
#include "release/manifest.h"
#include "release/proxy_settings.h"
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

// Lets the request answer a proxy's sign-in request with the user's Windows
// logon (Negotiate or NTLM: no name or password given, the logon session's
// own); false when the proxy offers neither. Only the proxy gets them: the
// request's logon policy, which would let a server ask as well, is left.
bool OfferWindowsLogon(HINTERNET request)
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

// Where a body goes: appended to Memory (memory mode), or into a file that
// is created at Path once the server said 200, or through File.
struct BodySink {
    ByteBuffer* Memory;
    const std::wstring* Path;
    HANDLE File;
};

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

// Every read goes into one buffer of this size, and file-mode bytes are
// gathered there before they are written: one write per service read (about
// 16 KiB over TLS) costs a system call each.
constexpr DWORD kWriteBlockBytes = 256 * 1024;

// What one request shares with the service's status callback. The service
// runs each call in the background and reports its completion there; the
// transfer waits for that with a deadline of its own, since a blocked call
// returns whenever a single byte arrives and so is bounded by nothing. When a
// deadline passes, the transfer closes the request and returns while the
// service may still finish the call it was making, into Block: the state is
// freed by whichever lets go last, the transfer or the handle's closing.
struct RequestState {
    SRWLOCK Lock = SRWLOCK_INIT;
    CONDITION_VARIABLE Changed = CONDITION_VARIABLE_INIT;
    bool Completed = false;  // the call in progress has completed
    DWORD Status = 0;        // the callback status that completed it
    DWORD Count = 0;         // bytes available, or bytes read
    DWORD Error = 0;         // with a request error: the service's error code
    LONG Holders = 2;        // the transfer and the request handle
    std::vector<unsigned char> Block = std::vector<unsigned char>(kWriteBlockBytes);
};

void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD length)
{
    auto* state = reinterpret_cast<RequestState*>(context);
    if (state == nullptr) {
        return;
    }
    DWORD count = 0;
    DWORD failure = 0;
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        LetGoOfShared(state);  // the last callback of the handle
        return;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        count = *static_cast<const DWORD*>(information);
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        count = length;
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        failure = static_cast<const WINHTTP_ASYNC_RESULT*>(information)->dwError;
        break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        break;
    default:
        return;  // progress notes, not completions
    }
    // A lock and a condition variable rather than an event: most reads
    // complete at once, on the calling thread, and then cost no kernel call.
    AcquireSRWLockExclusive(&state->Lock);
    state->Status = status;
    state->Count = count;
    state->Error = failure;
    state->Completed = true;
    ReleaseSRWLockExclusive(&state->Lock);
    WakeConditionVariable(&state->Changed);
}

// One asynchronous request and its shared state. Closing the handle ends a
// pending call (or, where the platform lets it run on, abandons it).
class AsyncRequest {
public:
    AsyncRequest() = default;
    AsyncRequest(const AsyncRequest&) = delete;
    AsyncRequest& operator=(const AsyncRequest&) = delete;
    ~AsyncRequest()
    {
        if (handle_ != nullptr) {
            WinHttpCloseHandle(handle_);
        }
        if (state_ != nullptr) {
            if (!callbackSet_) {
                LetGoOfShared(state_);  // no closing callback will come
            }
            LetGoOfShared(state_);
        }
    }

    bool Open(HINTERNET connection, const std::wstring& path)
    {
        state_ = new RequestState();
        handle_ = WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
        if (handle_ == nullptr) {
            return false;
        }
        DWORD_PTR context = reinterpret_cast<DWORD_PTR>(state_);
        if (!WinHttpSetOption(handle_, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context))) {
            return false;
        }
        callbackSet_ = WinHttpSetStatusCallback(handle_, OnRequestStatus,
                                                WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                                                0) != WINHTTP_INVALID_STATUS_CALLBACK;
        return callbackSet_;
    }

    HINTERNET Handle() const { return handle_; }
    RequestState& State() const { return *state_; }

    // Starts a call (`start` returns the service's answer) and waits for it
    // to complete with `expected`; false on an error, another completion, or
    // when `deadlineMs` passes first.
    template <typename Start>
    bool Call(Start start, DWORD expected, ULONGLONG deadlineMs) const
    {
        AcquireSRWLockExclusive(&state_->Lock);
        state_->Completed = false;
        state_->Error = 0;
        ReleaseSRWLockExclusive(&state_->Lock);
        if (!start()) {
            state_->Error = GetLastError();
            return false;
        }
        AcquireSRWLockExclusive(&state_->Lock);
        while (!state_->Completed) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadlineMs) {
                break;
            }
            const ULONGLONG left = deadlineMs - now;
            SleepConditionVariableSRW(&state_->Changed, &state_->Lock,
                                      left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left), 0);
        }
        const bool completed = state_->Completed && state_->Status == expected;
        ReleaseSRWLockExclusive(&state_->Lock);
        return completed;
    }

private:
    HINTERNET handle_ = nullptr;
    RequestState* state_ = nullptr;
    bool callbackSet_ = false;
};

constexpr unsigned kNoPercentShown = 101;

// Where the bytes of one body go, and the progress already shown of it.
struct BodyWriter {
    ByteBuffer* Memory;  // memory mode when not null
    HANDLE File;
    unsigned char* Block;  // one read's bytes; in file mode, those not yet written
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
    return pending == 0 || WriteAll(writer.File, writer.Block, pending);
}

// Reads what the service reported available into the block, as much as it
// has room for (the rest comes with the next read). Memory mode appends the
// bytes at once; file mode keeps them pending and writes out a full block
// first.
bool ReadChunk(const AsyncRequest& request, BodyWriter& writer, DWORD available, DWORD total,
               ULONGLONG deadlineMs, DWORD& read)
{
    if (writer.Pending == kWriteBlockBytes && !Flush(writer)) {
        return false;
    }
    const DWORD room = kWriteBlockBytes - writer.Pending;
    unsigned char* start = writer.Block + writer.Pending;
    const DWORD size = available < room ? available : room;
    if (!request.Call([&] { return WinHttpReadData(request.Handle(), start, size, nullptr); },
                      WINHTTP_CALLBACK_STATUS_READ_COMPLETE, deadlineMs)) {
        return false;
    }
    read = request.State().Count;
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
// complete when the service reports 0 bytes available. Each wait ends when
// the low-speed window in progress does, or the fetch's deadline.
bool ReceiveBody(const AsyncRequest& request, BodyWriter& writer, bool lengthAnnounced, DWORD announced,
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
        if (!ReadChunk(request, writer, available, total, deadlineMs, read)) {
            return false;
        }
        total += read;
        if (LowSpeedRuleTrips(window, GetTickCount64(), total, kTransferLimits)) {
            return false;
        }
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

// One request: connects, sends the GET and receives the body.
bool TransferBody(HINTERNET session, const ReleaseEndpoint& endpoint, const BodySink& sink, bool reportProgress,
                  const FetchDeadlines& deadlines, Answer& answer)
{
    // Declared in this order so that the request closes before the connection.
    ScopedInternet connection(WinHttpConnect(session, endpoint.Host.c_str(), endpoint.Port, 0));
    if (!connection.IsValid()) {
        return false;
    }
    AsyncRequest request;
    if (!request.Open(connection.Get(), endpoint.RequestPath)) {
        return false;
    }
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
        if (!request.Call(receive, WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE, headersDeadlineMs)) {
            return false;
        }
        DWORD answered = 0;
        if (!QueryNumberHeader(request.Handle(), WINHTTP_QUERY_STATUS_CODE, answered)) {
            return false;
        }
        answer.Status = answered;
        // A proxy that asks who is there gets the user's Windows logon, once,
        // where its scheme can take it without a password being typed. The
        // status is the responder's word: without a proxy it is the
        // origin's, which never gets the logon.
        if (answer.Status != HTTP_STATUS_PROXY_AUTH_REQ || !answer.ThroughProxy || offered ||
            !OfferWindowsLogon(request.Handle())) {
            break;
        }
        offered = true;
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
    BodyWriter writer = {sink.Memory, target, request.State().Block.data(), 0, reportProgress ? announced : 0};
    const bool received = ReceiveBody(request, writer, lengthAnnounced, announced, deadlines);
    // Bytes received before a failure are kept in the file as well.
    const bool flushed = Flush(writer);  // memory mode has nothing pending
    return received && flushed;
}

// One request to `endpoint` by the routes the user's settings choose for
// `url`: the next proxy of a list is tried when one cannot be reached.
bool TransferByRoutes(const std::wstring& url, const ReleaseEndpoint& endpoint, const BodySink& sink,
                      bool reportProgress, FetchDeadlines& deadlines, Answer& answer, ErrorText& error)
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
        if (TransferBody(session.Get(), endpoint, sink, reportProgress, deadlines, answer)) {
            return true;
        }
        if (!answer.ProxyUnreachable) {
            break;
        }
    }
    error = TransferFailureSentence(answer.Status, answer.ThroughProxy);
    return false;
}

bool Download(const std::wstring& url, const BodySink& sink, bool reportProgress, ErrorText& error)
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
        if (TransferByRoutes(current, endpoint, sink, reportProgress, deadlines, answer, failure)) {
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
