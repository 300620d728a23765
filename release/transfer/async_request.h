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

// Every read goes into one buffer of this size, and bytes bound for a file
// are gathered there before they are written: one write per service read
// (about 16 KiB over TLS) costs a system call each.
constexpr DWORD kReadBlockBytes = 256 * 1024;

// What a round of reading on (AsyncRequest::ReadOn) has brought so far.
struct RoundView {
    DWORD Filled = 0;        // bytes read to the round's place
    bool Ended = false;      // the round is over: the callback makes no further call
    bool EndOfBody = false;  // the service reported no more data
    bool Slow = false;       // a read came after a whole low-speed window below the floor
    bool Failed = false;     // a call failed (its error in RequestState::Error)
    ULONGLONG WindowEndMs = 0;  // when the low-speed window in progress ends
};

// What one request shares with the service's status callback. When a
// deadline passes, the caller closes the request and returns while the
// service may still finish the call it was making, into Block: the state is
// freed by whichever lets go last, the caller or the handle's closing.
//
// Two sides touch it: the caller (the AsyncRequest's owner) and the status
// callback, which runs on a service thread or, for a call whose data is
// already there, inside the call on the thread that made it. Lock guards
// every field but Holders and Block. The callback takes a completion under
// Lock and wakes Changed, and never waits for the caller. In a round it
// decides the next call under Lock and makes it outside, counted in
// CallsStarting, from the frame that made the call before: a completion that
// comes back inside a round call, on the same thread, only leaves its result
// to that frame. Status and Count are the caller's to read once its call has
// completed: nothing else is in flight then.
struct RequestState {
    SRWLOCK Lock = SRWLOCK_INIT;
    CONDITION_VARIABLE Changed = CONDITION_VARIABLE_INIT;
    bool Completed = false;  // the call in progress has completed
    DWORD Status = 0;        // the callback status that completed it
    DWORD Count = 0;         // bytes available, or bytes read
    DWORD Error = 0;         // with a request error: the service's error code
    DWORD SecureFailure = 0;  // the flags of a secure failure the service reported
    LONG Holders = 2;        // the caller and the request handle; changed only by LetGoOfShared
    // Where each read lands, written by the service between a read's start
    // and its completion; the caller takes only bytes a completion reported.
    std::vector<unsigned char> Block = std::vector<unsigned char>(kReadBlockBytes);
    // A round of reading on: while ReadingOn, the body's next call is made
    // on the thread the last completion came on, so that a read which has to wait for the network
    // does not hand every completion (one per TLS record, about 16 KiB) to
    // the waiting thread.
    bool ReadingOn = false;
    // Frames making a round's calls, counted from the first call they decide:
    // StopReadingOn waits until there are none, since no call may start on
    // the handle once it closes.
    LONG CallsStarting = 0;
    unsigned char* RoundAt = nullptr;  // where the round's bytes go
    DWORD RoundRoom = 0;              // how many it may take
    bool RoundCompletesBody = false;  // those are the rest of the body
    RoundView Round;
    // The body's low-speed window, moved on by each read that completes.
    LowSpeedWindow Window = {};
    unsigned long long RequestBytes = 0;  // what this request's body brought
};

// Why a call failed, as the service reported it.
struct CallError {
    DWORD Code = 0;           // the service's error code; 0: none (a deadline passed first)
    DWORD SecureFailure = 0;  // the flags of a secure failure it reported
};

// One asynchronous GET request and its shared state: the owner of the
// request handle. Closing the handle ends a pending call (or, where the
// platform lets it run on, abandons it); a round of reading on is stopped
// first, whichever way the owner goes.
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
        ExpectCompletion();
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

    // Reads up to `room` bytes of the body to `at` in the background: the
    // callback asks what is available and reads it, again and again, until
    // the room is full, the body ends, a call fails, or a read comes after a
    // window below the floor. `completesBody`: those bytes are the rest of
    // the body (a window that completes it is not slow).
    void ReadOn(unsigned char* at, DWORD room, bool completesBody) const;

    // Waits until the round ends or `untilMs` passes; what it has brought.
    RoundView WaitForRound(ULONGLONG untilMs) const;

    // Ends the round before its time: once this returns the callback starts
    // no further call (the one in flight may still complete, into Block).
    void StopReadingOn() const;

private:
    void ExpectCompletion() const;
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

// An asynchronous session for one request, through `proxy` ("host:port"), or
// direct when it is empty: the program's user agent and time-outs, no
// redirect followed by the service, and TLS 1.2 or later only. On failure,
// null with the service's error in `detail` (`url` names the request).
HINTERNET OpenSession(const std::wstring& proxy, const std::wstring& url, FailureDetail& detail);

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
