#include "release/transfer/async_request.h"

#include "platform/shared_reference.h"

namespace {

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

}  // namespace

AsyncRequest::~AsyncRequest()
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

void AsyncRequest::Arm() const
{
    AcquireSRWLockExclusive(&state_->Lock);
    state_->Completed = false;
    state_->Error = 0;
    state_->SecureFailure = 0;
    ReleaseSRWLockExclusive(&state_->Lock);
}

bool AsyncRequest::WaitFor(DWORD expected, ULONGLONG deadlineMs) const
{
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
