#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

#include "platform/scoped_handle.h"
#include "release/failure_detail.h"
#include "release/transfer/transfer_limits.h"

// The request machinery under the GET: each call of the HTTP service runs in
// the background and reports its completion to a status callback; the
// caller waits for it with a deadline of its own, since a blocked call
// returns whenever a single byte arrives and so is bounded by nothing.
//
// A read batch is ours: to read a stretch of the body, the status callback
// itself chains the service's calls (what is available, then a read of it,
// again and again) until the stretch is full, instead of handing each
// completion (one per TLS record, about 16 KiB) back to a waiting thread.

// Every read goes into a block of this size, and bytes bound for a file are
// gathered there before they are written: one write per service read (about
// 16 KiB over TLS) costs a system call each. A request has two: reads go on
// into one while the other, full, is written and hashed.
constexpr DWORD kReadBlockBytes = 256 * 1024;

// What a read batch (AsyncRequest::StartReadBatch) has brought so far.
struct BatchProgress {
    DWORD Filled = 0;        // bytes read to the batch's place
    bool Ended = false;      // the batch is over: the callback makes no further call
    bool EndOfBody = false;  // the service reported no more data
    bool Slow = false;       // a read came after a whole low-speed window below the floor
    bool Failed = false;     // a call failed (its error in RequestState::Error)
    ULONGLONG WindowEndMs = 0;  // when the low-speed window in progress ends
};

// What one request shares with the service's status callback. Who may touch
// what:
// - Two threads: the owner's (the AsyncRequest's caller), and the
//   callback's, which runs on a service thread or, for a call whose data is
//   already there, inside the call on the thread that made it.
// - Lock guards every field but Holders (changed only by ReleaseShared:
//   whichever of the owner and the handle's closing lets go last frees the
//   state, since a call left behind by a deadline may still complete) and
//   Block (the service writes a read's bytes there between its start and
//   its completion; the owner takes only bytes a completion reported).
// - One call at a time (AsyncRequest::Call): the owner clears Completed,
//   Error and SecureFailure, starts the call and sleeps on Changed; the
//   callback sets Status, Count, Error and Completed and wakes Changed.
//   Status and Count are the owner's to read once Completed: nothing else
//   is in flight then.
// - A read batch (StartReadBatch, while BatchRunning): the callback takes
//   each completion into Batch and decides the next call under Lock
//   (TakeBatchCompletion), then makes it outside Lock, counted in
//   CallsStarting. The next call is made only by the loop in the frame that
//   made the call before (MakeBatchCalls): a completion that comes back
//   inside a call, on the same thread, only leaves its result to that loop,
//   so reads that complete at once never nest. The owner reads Batch under
//   Lock (WaitForBatch).
// - From the callback: take a completion, wake Changed and, in a batch,
//   make its next call; never wait for the owner, never call anything of
//   the owner's.
// - StopReadBatch clears BatchRunning and waits until CallsStarting is 0:
//   no call may start on the handle once it closes.
struct RequestState {
    SRWLOCK Lock = SRWLOCK_INIT;
    CONDITION_VARIABLE Changed = CONDITION_VARIABLE_INIT;
    bool Completed = false;   // under Lock: the call in progress has completed
    DWORD Status = 0;         // set under Lock; the owner's once Completed: the status that completed it
    DWORD Count = 0;          // set under Lock; the owner's once Completed: bytes available, or read
    DWORD Error = 0;          // under Lock: with a request error, the service's error code
    DWORD SecureFailure = 0;  // under Lock: the flags of a secure failure the service reported
    LONG Holders = 2;         // the owner and the request handle: ReleaseShared only
    // Two read blocks, one after the other: the service's, then the owner's.
    std::vector<unsigned char> Block = std::vector<unsigned char>(2 * kReadBlockBytes);
    bool BatchRunning = false;         // under Lock: completions go to Batch
    LONG CallsStarting = 0;            // under Lock: frames making a batch's calls
    unsigned char* BatchAt = nullptr;  // under Lock: where the batch's bytes go
    DWORD BatchRoom = 0;               // under Lock: how many it may take
    bool BatchCompletesBody = false;   // under Lock: those are the rest of the body
    BatchProgress Batch;               // under Lock
    // Under Lock: the body's low-speed window, moved on by each read that
    // completes, and what this request's body brought.
    LowSpeedWindow Window = {};
    unsigned long long RequestBytes = 0;
};

// Why a call failed, as the service reported it.
struct CallError {
    DWORD Code = 0;           // the service's error code; 0: none (a deadline passed first)
    DWORD SecureFailure = 0;  // the flags of a secure failure it reported
};

// One asynchronous GET request and its shared state: the owner of the
// request handle. Closing the handle ends a pending call (or, where the
// platform lets it run on, abandons it); a read batch is stopped first,
// whichever way the owner goes.
class AsyncRequest {
public:
    AsyncRequest() = default;
    AsyncRequest(const AsyncRequest&) = delete;
    AsyncRequest& operator=(const AsyncRequest&) = delete;
    ~AsyncRequest();

    // Opens a secure GET of `path` on `connection` and routes its
    // completions to the state; false when any step fails.
    [[nodiscard]] bool Open(HINTERNET connection, const std::wstring& path);

    HINTERNET Handle() const { return handle_; }
    RequestState& State() const { return *state_; }

    // Starts a call (`start` returns the service's answer) and waits for it
    // to complete with `expected`; false on an error (its code in
    // LastError()), another completion, or when `deadlineMs` passes first.
    template <typename Start>
    bool Call(Start start, DWORD expected, ULONGLONG deadlineMs) const
    {
        ClearLastCall();
        if (!start()) {
            NoteStartFailure(GetLastError());
            return false;
        }
        return WaitFor(expected, deadlineMs);
    }

    // The error of the call that failed, copied under the lock: a call left
    // behind by a deadline may still complete and write it.
    CallError LastError() const;

    // Starts the body's low-speed window now; when it ends.
    ULONGLONG StartWindow() const;

    // A read batch: reads up to `room` bytes of the body to `at` in the
    // background, the callback asking what is available and reading it,
    // again and again, until the room is full, the body ends, a call fails,
    // or a read comes after a window below the floor. `completesBody`: those
    // bytes are the rest of the body (a window that completes it is not
    // slow).
    void StartReadBatch(unsigned char* at, DWORD room, bool completesBody) const;

    // Waits until the batch ends or `untilMs` passes; what it has brought.
    BatchProgress WaitForBatch(ULONGLONG untilMs) const;

    // Ends the batch before its time: once this returns the callback starts
    // no further call (the one in flight may still complete, into Block).
    void StopReadBatch() const;

private:
    // Forgets the last call's completion and error before the next starts.
    void ClearLastCall() const;
    void NoteStartFailure(DWORD error) const;
    bool WaitFor(DWORD expected, ULONGLONG deadlineMs) const;

    HINTERNET handle_ = nullptr;
    RequestState* state_ = nullptr;
    bool callbackSet_ = false;
};

// The deadline that comes first.
inline ULONGLONG Earlier(ULONGLONG a, ULONGLONG b)
{
    return a < b ? a : b;
}

// Sessions and what an answer says.

inline void CloseInternetHandle(HINTERNET handle)
{
    WinHttpCloseHandle(handle);
}

using ScopedInternet = ScopedHandle<HINTERNET, CloseInternetHandle>;

// An asynchronous session through `proxy` ("host:port"), or direct when it
// is empty: the program's user agent and time-outs, no redirect followed by
// the service, and TLS 1.2 or later only. On failure, null with the
// service's error in `detail` (`url` names the request).
HINTERNET OpenSession(const std::wstring& proxy, const std::wstring& url, FailureDetail& detail);

// The sessions of one attempt, one for each route its requests take (direct,
// or a proxy: the proxy is chosen for each URL, and the service takes it only
// when a session opens), opened at first use and closed with the owner.
// Windows keeps connections for reuse per session, so the manifest, the
// installer and every redirect and resume of one attempt go over one
// connection where the host allows, not a TCP and TLS handshake each.
class TransferSessions {
public:
    TransferSessions() = default;
    TransferSessions(const TransferSessions&) = delete;
    TransferSessions& operator=(const TransferSessions&) = delete;
    ~TransferSessions();

    // The session for `route`, opened now if it is not yet (OpenSession);
    // null on failure, with `detail` said.
    HINTERNET For(const std::wstring& route, const std::wstring& url, FailureDetail& detail);

private:
    std::vector<std::pair<std::wstring, HINTERNET>> open_;
};

// A numeric response header (WINHTTP_QUERY_STATUS_CODE).
bool QueryNumberHeader(HINTERNET request, DWORD query, DWORD& value);
// A response header as text; false when absent or longer than any sane one
// (16 KiB).
bool QueryTextHeader(HINTERNET request, DWORD query, std::wstring& text);
// The same, empty when absent.
std::wstring TextHeader(HINTERNET request, DWORD query);

// Why the call of `request` that failed did not complete: the service's
// error (with the flags of a secure failure), or, when it has none, the
// deadline that passed first, which `timeUp` names.
std::wstring CallFailure(const AsyncRequest& request, const std::wstring& timeUp);
