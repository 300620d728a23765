#include "release/transfer/async_request.h"

#include "platform/shared_reference.h"

namespace {

constexpr wchar_t kUserAgent[] = L"TAVRO Static Module Installer/1.0";
constexpr int kResolveTimeoutMs = 10000;
constexpr int kConnectTimeoutMs = 10000;
constexpr int kSendTimeoutMs = 30000;
constexpr int kReceiveTimeoutMs = 30000;
// WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3, which older SDK headers lack.
constexpr DWORD kSecureProtocolTls13 = 0x00002000;

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

// The call a read batch makes next.
struct NextCall {
    enum { None, Query, Read } Kind = None;
    unsigned char* At = nullptr;
    DWORD Size = 0;
};

NextCall EndBatch(RequestState& state)
{
    state.BatchRunning = false;
    state.Batch.Ended = true;
    return NextCall();
}

// What a completion in a read batch brings, and the call that
// follows it; under the state's lock.
NextCall TakeBatchCompletion(RequestState& state, DWORD status, DWORD count, DWORD failure)
{
    BatchProgress& batch = state.Batch;
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        if (count == 0) {
            batch.EndOfBody = true;
            return EndBatch(state);
        }
        return {NextCall::Read, state.BatchAt + batch.Filled,
                count < state.BatchRoom - batch.Filled ? count : state.BatchRoom - batch.Filled};
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE: {
        if (count == 0) {
            batch.EndOfBody = true;
            return EndBatch(state);
        }
        batch.Filled += count;
        state.RequestBytes += count;
        const bool full = batch.Filled == state.BatchRoom;
        batch.Slow = LowSpeedRuleTrips(state.Window, GetTickCount64(), state.RequestBytes,
                                       full && state.BatchCompletesBody, kTransferLimits);
        batch.WindowEndMs = state.Window.StartMs + kTransferLimits.LowSpeedWindowMs;
        if (full || batch.Slow) {
            return EndBatch(state);
        }
        return {NextCall::Query};
    }
    default:
        state.Error = failure;
        batch.Failed = true;
        return EndBatch(state);
    }
}

bool StartCall(HINTERNET request, const NextCall& call)
{
    return call.Kind == NextCall::Read ? WinHttpReadData(request, call.At, call.Size, nullptr) != FALSE
                                       : WinHttpQueryDataAvailable(request, nullptr) != FALSE;
}

// A batch call that a thread is starting. A call whose data is already
// there completes inside the call, on this thread: its callback leaves the
// result here and returns, and the loop that made the call takes it.
struct InlineCompletion {
    const RequestState* State = nullptr;
    bool Came = false;
    DWORD Status = 0;
    DWORD Count = 0;
    DWORD Failure = 0;
};

// Only its own thread touches it.
thread_local InlineCompletion* tStartingCall = nullptr;

// Makes a batch's calls outside the lock, one after another from this
// frame, until one goes on in the background (its callback then carries on)
// or the batch ends or is stopped. A completion that comes back inside one
// of these calls only leaves its result, so however many reads complete at
// once the stack holds this frame, the call and one callback in it, never a
// callback per read (which would nest until the stack ran out). `call` is
// counted in CallsStarting and stays counted until the loop is done.
void MakeBatchCalls(RequestState* state, HINTERNET request, NextCall call)
{
    InlineCompletion* const outer = tStartingCall;
    for (;;) {
        InlineCompletion here;
        here.State = state;
        tStartingCall = &here;
        const bool started = StartCall(request, call);
        const DWORD error = started ? 0 : GetLastError();
        tStartingCall = outer;
        AcquireSRWLockExclusive(&state->Lock);
        call = NextCall();
        if (state->BatchRunning) {
            if (!started) {
                // A call that cannot start ends the batch.
                state->Error = error;
                state->Batch.Failed = true;
                EndBatch(*state);
            } else if (here.Came) {
                call = TakeBatchCompletion(*state, here.Status, here.Count, here.Failure);
            }
        }
        if (call.Kind != NextCall::None) {
            ReleaseSRWLockExclusive(&state->Lock);
            continue;  // still counted in CallsStarting
        }
        --state->CallsStarting;
        // Only a batch that is over has a waiter to tell: its reader, or
        // StopReadBatch waiting for this call to start.
        const bool over = !state->BatchRunning;
        ReleaseSRWLockExclusive(&state->Lock);
        if (over) {
            WakeConditionVariable(&state->Changed);
        }
        return;
    }
}

void CALLBACK OnRequestStatus(HINTERNET request, DWORD_PTR context, DWORD status, LPVOID information, DWORD length)
{
    auto* state = reinterpret_cast<RequestState*>(context);
    if (state == nullptr) {
        return;
    }
    DWORD count = 0;
    DWORD failure = 0;
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        ReleaseShared(state);  // the last callback of the handle
        return;
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
        // Why the TLS handshake failed; the request error that completes
        // the call follows.
        AcquireSRWLockExclusive(&state->Lock);
        state->SecureFailure = *static_cast<const DWORD*>(information);
        ReleaseSRWLockExclusive(&state->Lock);
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
    // Inside a batch call this thread is making: the loop that made it goes on.
    InlineCompletion* const starting = tStartingCall;
    if (starting != nullptr && starting->State == state) {
        starting->Came = true;
        starting->Status = status;
        starting->Count = count;
        starting->Failure = failure;
        return;
    }
    // A lock and a condition variable rather than an event: most reads
    // complete at once, on the calling thread, and then cost no kernel call.
    AcquireSRWLockExclusive(&state->Lock);
    if (state->BatchRunning) {
        const NextCall next = TakeBatchCompletion(*state, status, count, failure);
        if (next.Kind != NextCall::None) {
            ++state->CallsStarting;
        }
        ReleaseSRWLockExclusive(&state->Lock);
        if (next.Kind == NextCall::None) {
            WakeConditionVariable(&state->Changed);
        } else {
            MakeBatchCalls(state, request, next);
        }
        return;
    }
    state->Status = status;
    state->Count = count;
    state->Error = failure;
    state->Completed = true;
    ReleaseSRWLockExclusive(&state->Lock);
    WakeConditionVariable(&state->Changed);
}

}  // namespace

AsyncRequest::~AsyncRequest()
{
    // A batch that an exception left running: once the handle closes its
    // value may name another request, and no callback may start a call on it.
    if (state_ != nullptr) {
        StopReadBatch();
    }
    if (handle_ != nullptr) {
        WinHttpCloseHandle(handle_);
    }
    if (state_ != nullptr) {
        if (!callbackSet_) {
            ReleaseShared(state_);  // no closing callback will come
        }
        ReleaseShared(state_);
    }
}

bool AsyncRequest::Open(HINTERNET connection, const std::wstring& path)
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
                                            WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
                                                WINHTTP_CALLBACK_FLAG_SECURE_FAILURE,
                                            0) != WINHTTP_INVALID_STATUS_CALLBACK;
    return callbackSet_;
}

void AsyncRequest::ClearLastCall() const
{
    AcquireSRWLockExclusive(&state_->Lock);
    state_->Completed = false;
    state_->Error = 0;
    state_->SecureFailure = 0;
    ReleaseSRWLockExclusive(&state_->Lock);
}

void AsyncRequest::NoteStartFailure(DWORD error) const
{
    AcquireSRWLockExclusive(&state_->Lock);
    state_->Error = error;
    ReleaseSRWLockExclusive(&state_->Lock);
}

CallError AsyncRequest::LastError() const
{
    AcquireSRWLockExclusive(&state_->Lock);
    const CallError error = {state_->Error, state_->SecureFailure};
    ReleaseSRWLockExclusive(&state_->Lock);
    return error;
}

// With the state's lock held: sleeps until `done` holds or `untilMs` passes.
template <typename Done>
void SleepUntil(RequestState& state, Done done, ULONGLONG untilMs)
{
    while (!done()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= untilMs) {
            break;
        }
        const ULONGLONG left = untilMs - now;
        SleepConditionVariableSRW(&state.Changed, &state.Lock,
                                  left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left), 0);
    }
}

bool AsyncRequest::WaitFor(DWORD expected, ULONGLONG deadlineMs) const
{
    AcquireSRWLockExclusive(&state_->Lock);
    SleepUntil(*state_, [this] { return state_->Completed; }, deadlineMs);
    const bool completed = state_->Completed && state_->Status == expected;
    ReleaseSRWLockExclusive(&state_->Lock);
    return completed;
}

ULONGLONG AsyncRequest::StartWindow() const
{
    AcquireSRWLockExclusive(&state_->Lock);
    state_->Window = {GetTickCount64(), 0};
    state_->RequestBytes = 0;
    const ULONGLONG endMs = state_->Window.StartMs + kTransferLimits.LowSpeedWindowMs;
    ReleaseSRWLockExclusive(&state_->Lock);
    return endMs;
}

void AsyncRequest::StartReadBatch(unsigned char* at, DWORD room, bool completesBody) const
{
    AcquireSRWLockExclusive(&state_->Lock);
    state_->BatchRunning = true;
    state_->BatchAt = at;
    state_->BatchRoom = room;
    state_->BatchCompletesBody = completesBody;
    state_->Batch = BatchProgress();
    state_->Batch.WindowEndMs = state_->Window.StartMs + kTransferLimits.LowSpeedWindowMs;
    state_->Error = 0;
    state_->SecureFailure = 0;
    ++state_->CallsStarting;
    ReleaseSRWLockExclusive(&state_->Lock);
    MakeBatchCalls(state_, handle_, {NextCall::Query});
}

BatchProgress AsyncRequest::WaitForBatch(ULONGLONG untilMs) const
{
    AcquireSRWLockExclusive(&state_->Lock);
    SleepUntil(*state_, [this] { return state_->Batch.Ended; }, untilMs);
    const BatchProgress batch = state_->Batch;
    ReleaseSRWLockExclusive(&state_->Lock);
    return batch;
}

void AsyncRequest::StopReadBatch() const
{
    AcquireSRWLockExclusive(&state_->Lock);
    state_->BatchRunning = false;
    // A callback that decided on a call may be about to start it; after the
    // handle closes its value could name another request.
    while (state_->CallsStarting != 0) {
        SleepConditionVariableSRW(&state_->Changed, &state_->Lock, INFINITE, 0);
    }
    ReleaseSRWLockExclusive(&state_->Lock);
}

bool QueryNumberHeader(HINTERNET request, DWORD query, DWORD& value)
{
    DWORD size = sizeof(value);
    return WinHttpQueryHeaders(request, query | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX, &value,
                               &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
}

// The longest header value read: a validator, a length or a Location is far
// shorter; a longer value is taken as absent.
constexpr DWORD kMaxHeaderBytes = 16 * 1024;

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

TransferSessions::~TransferSessions()
{
    for (const auto& session : open_) {
        WinHttpCloseHandle(session.second);
    }
}

HINTERNET TransferSessions::For(const std::wstring& route, const std::wstring& url, FailureDetail& detail)
{
    for (const auto& session : open_) {
        if (session.first == route) {
            return session.second;
        }
    }
    const HINTERNET session = OpenSession(route, url, detail);
    if (session != nullptr) {
        open_.emplace_back(route, session);
    }
    return session;
}

std::wstring CallFailure(const AsyncRequest& request, const std::wstring& timeUp)
{
    const CallError error = request.LastError();
    return error.Code != 0 ? WinHttpErrorCause(error.Code, error.SecureFailure) : timeUp;
}

