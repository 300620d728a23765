#include "release/transfer/https_transfer.h"

#include <windows.h>
#include <winhttp.h>

#include "platform/scoped_handle.h"
#include "release/manifest.h"
#include "release/release_hosts.h"
#include "release/release_messages.h"
#include "release/transfer/async_request.h"
#include "release/transfer/body_reading.h"
#include "release/transfer/body_sink.h"
#include "release/transfer/proxy_settings.h"
#include "release/transfer/resume.h"
#include "release/url_policy.h"

namespace {

bool IsRedirect(DWORD status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

constexpr ULONGLONG kNoDeadline = ~0ULL;

// How long a request's connection, TLS handshake and response headers may
// take: one low-speed window, or kMirrorHeadersWaitMs in a build with
// mirror hosts, where another host may wait behind a silent one.
ULONGLONG HeadersWaitMs()
{
#ifdef TAVRO_MANIFEST_KEYS
    if (!MirrorHosts().empty() && kMirrorHeadersWaitMs < kTransferLimits.LowSpeedWindowMs) {
        return kMirrorHeadersWaitMs;
    }
#endif
    return kTransferLimits.LowSpeedWindowMs;
}

// The deadlines of one whole fetch, all its redirects included.
struct FetchDeadlines {
    // Each request's response headers: one low-speed window from the first
    // request's start (once its proxy is chosen), so that a chain of slow
    // redirects cannot stretch it; kNoDeadline until then.
    ULONGLONG HeadersMs;
    ULONGLONG WholeMs;  // memory mode: the whole fetch; else kNoDeadline
};

// How one request was answered.
struct RequestOutcome {
    bool ThroughProxy = false;
    bool ProxyUnreachable = false;  // the proxy could not be reached: another may be tried
    DWORD Status = 0;               // the status the server answered, or 0 when none was read
    std::wstring Location;          // a redirect's target
    bool BodyCut = false;           // the body ended early: the rest may be asked for
    bool Unacceptable = false;      // an answer no server should give: its length, its size
    FailureDetail Detail;           // what failed, for the log
};

bool Fail(RequestOutcome& outcome, const std::wstring& cause, const wchar_t* stage, const std::wstring& url)
{
    outcome.Detail = DescribeFailure(cause, stage, url);
    return false;
}

std::wstring WholeFetchTimeUp()
{
    return L"the fetch not done within " + SecondsText(kTransferLimits.MemoryDeadlineMs);
}

// The cause of a wait that ended at `deadlineMs` without its completion.
std::wstring TimeUpCause(ULONGLONG deadlineMs, const FetchDeadlines& deadlines, const std::wstring& otherwise)
{
    return deadlineMs == deadlines.WholeMs ? WholeFetchTimeUp() : otherwise;
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

// Sends the GET and waits for its response headers; a proxy that asks who
// is there gets the user's Windows logon, once. False when no status could
// be read.
bool SendAndReadStatus(AsyncRequest& request, const std::wstring& headers, const FetchDeadlines& deadlines,
                       const std::wstring& url, RequestOutcome& outcome)
{
    // Name resolution, connection, TLS handshake and the response headers
    // of every request of the fetch share one low-speed window.
    const ULONGLONG headersDeadlineMs = Earlier(deadlines.HeadersMs, deadlines.WholeMs);
    const std::wstring timeUp =
        TimeUpCause(headersDeadlineMs, deadlines,
                    L"no response headers within " + SecondsText(HeadersWaitMs()));
    const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&request.State());
    for (bool offered = false;;) {
        const auto send = [&] {
            return WinHttpSendRequest(request.Handle(),
                                      headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                                      static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, context);
        };
        const auto receive = [&] { return WinHttpReceiveResponse(request.Handle(), nullptr); };
        if (!request.Call(send, WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE, headersDeadlineMs)) {
            outcome.ProxyUnreachable = outcome.ThroughProxy && IsUnreachable(request.LastError().Code);
            return Fail(outcome, CallFailure(request, timeUp), L"requesting", url);
        }
        if (!request.Call(receive, WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE, headersDeadlineMs)) {
            return Fail(outcome, CallFailure(request, timeUp), L"requesting", url);
        }
        if (!QueryNumberHeader(request.Handle(), WINHTTP_QUERY_STATUS_CODE, outcome.Status)) {
            return Fail(outcome, WinHttpErrorCause(GetLastError()), L"reading the status of", url);
        }
        // The status is the responder's word: without a proxy it is the
        // origin's, which never gets the logon.
        if (outcome.Status != HTTP_STATUS_PROXY_AUTH_REQ || !outcome.ThroughProxy || offered ||
            !OfferWindowsLogonToProxy(request.Handle())) {
            return true;
        }
        offered = true;
    }
}

// What the answer says of its length; false (with the cause in the outcome)
// for a Content-Length that is not a number this program can hold, or a
// body larger than the sink takes.
bool ReadAnnouncedLength(HINTERNET request, const BodySink& sink, const std::wstring& url, RequestOutcome& outcome,
                         bool& announced, unsigned long long& length)
{
    std::wstring text;
    announced = QueryTextHeader(request, WINHTTP_QUERY_CONTENT_LENGTH, text);
    length = 0;
    if (!announced) {
        return true;
    }
    if (!ParseContentLength(text, length)) {
        outcome.Unacceptable = true;
        return Fail(outcome, L"Content-Length \"" + TextForLog(text) + L"\"", L"requesting", url);
    }
    const unsigned long long cap = sink.Memory != nullptr ? kMemoryBodyCap : kTransferLimits.InstallerCapBytes;
    if (length > cap) {
        // The manifest's cap has always given the connection sentence.
        outcome.Unacceptable = sink.Memory == nullptr;
        return Fail(outcome,
                    L"a body of " + std::to_wstring(length) + L" bytes, above the ceiling of " +
                        std::to_wstring(cap),
                    L"requesting", url);
    }
    return true;
}

// "https://host[:port]/path" of an endpoint, as a log shows it.
std::wstring EndpointUrl(const ReleaseEndpoint& endpoint)
{
    const std::wstring port =
        endpoint.Port == INTERNET_DEFAULT_HTTPS_PORT ? std::wstring() : L":" + std::to_wstring(endpoint.Port);
    return UrlForLog(L"https://" + endpoint.Host + port + endpoint.RequestPath);
}

// Whether a request asks for the whole body or for the rest of it (from
// sink.Received, with the first answer's validator).
enum class Ask { Whole, Rest };

// The answer to a request for the rest: appended to what the body has, or
// the whole body again; anything else fails as the drop did.
bool TakeRestAnswer(HINTERNET request, BodySink& sink, bool announced, unsigned long long length,
                    const std::wstring& url, RequestOutcome& outcome)
{
    const std::wstring range = TextHeader(request, WINHTTP_QUERY_CONTENT_RANGE);
    switch (JudgeRestAnswer(outcome.Status, range, announced, length, sink.Received, sink.AnnouncedLength)) {
    case RestAnswer::Append:
        return true;
    case RestAnswer::StartAgain:
        if (!StartBodyAgain(sink)) {
            return Fail(outcome, WindowsErrorCause(sink.WriteError), L"starting the file again for", url);
        }
        return true;
    case RestAnswer::Refuse:
        break;
    }
    if (outcome.Status != HTTP_STATUS_PARTIAL_CONTENT) {
        return Fail(outcome, HttpStatusCause(outcome.Status), L"requesting", url);
    }
    std::wstring cause = L"Content-Range \"" + TextForLog(range) + L"\"";
    if (announced) {
        cause += L" with Content-Length " + std::to_wstring(length);
    }
    cause += L" where bytes " + std::to_wstring(sink.Received) + L"- of " + std::to_wstring(sink.AnnouncedLength) +
             L" were asked for";
    return Fail(outcome, cause, L"resuming", url);
}

// One GET on a session: connects, sends, waits for the headers and streams
// the body of a 200 (or, for the rest of a body, of a matching 206) into the
// sink. A redirect's target goes to the outcome.
bool GetOnce(HINTERNET session, const ReleaseEndpoint& endpoint, BodySink& sink, Ask ask,
             const FetchDeadlines& deadlines, RequestOutcome& outcome)
{
    const std::wstring url = EndpointUrl(endpoint);
    // Declared in this order so that the request closes before the connection.
    ScopedInternet connection(WinHttpConnect(session, endpoint.Host.c_str(), endpoint.Port, 0));
    if (!connection.IsValid()) {
        return Fail(outcome, WinHttpErrorCause(GetLastError()), L"connecting for", url);
    }
    AsyncRequest request;
    if (!request.Open(connection.Get(), endpoint.RequestPath)) {
        return Fail(outcome, WinHttpErrorCause(GetLastError()), L"opening a request for", url);
    }
    const std::wstring headers = ask == Ask::Rest ? RestRequestHeaders(sink.Received, sink.Validator) : L"";
    if (!SendAndReadStatus(request, headers, deadlines, url, outcome)) {
        return false;
    }
    if (ask == Ask::Whole && IsRedirect(outcome.Status)) {
        QueryTextHeader(request.Handle(), WINHTTP_QUERY_LOCATION, outcome.Location);
        return Fail(outcome,
                    HttpStatusCause(outcome.Status) + (outcome.Location.empty() ? L" without a Location" : L""),
                    L"requesting", url);
    }
    if (ask == Ask::Whole && outcome.Status != HTTP_STATUS_OK) {
        return Fail(outcome, HttpStatusCause(outcome.Status), L"requesting", url);
    }
    bool announced = false;
    unsigned long long length = 0;
    if (!ReadAnnouncedLength(request.Handle(), sink, url, outcome, announced, length)) {
        return false;
    }
    // The caller knows what the body must be: a server that announces
    // another body is not serving it.
    const bool required = sink.RequiredLength != kAnyLength;
    if (required && announced && outcome.Status == HTTP_STATUS_OK && length != sink.RequiredLength) {
        outcome.Unacceptable = true;
        return Fail(outcome,
                    L"a body of " + std::to_wstring(length) + L" bytes where " +
                        std::to_wstring(sink.RequiredLength) + L" were required",
                    L"requesting", url);
    }
    // The manifest is read whole before anything trusts it: where it ends
    // must be certain.
    if (sink.Memory != nullptr && !BodyEndIsFramed(request.Handle(), announced)) {
        return Fail(outcome, L"a body without a Content-Length or chunked framing", L"requesting", url);
    }
    if (ask == Ask::Rest) {
        if (!TakeRestAnswer(request.Handle(), sink, announced, length, url, outcome)) {
            return false;
        }
        if (sink.Report->Resumed) {
            sink.Report->Resumed(sink.Received);
        }
    }
    // A whole body, the first or again: its length and validator are the
    // body's from now on.
    if (sink.Received == 0) {
        sink.AnnouncedLength = required ? sink.RequiredLength : length;
        sink.Validator = IfRangeValidator(TextHeader(request.Handle(), WINHTTP_QUERY_ETAG),
                                          TextHeader(request.Handle(), WINHTTP_QUERY_LAST_MODIFIED));
    }
    UseBlocks(sink, request.State().Block.data());
    // A block being written lives in the request's state: the write ends
    // before the request can let go of it, however this returns.
    struct WritingEnds {
        BodySink& Sink;
        ~WritingEnds() { FinishWriting(Sink); }
    } writingEnds{sink};
    BodyFault fault;
    const bool received = ReceiveBody(request, sink, deadlines.WholeMs, WholeFetchTimeUp(), fault);
    if (!received) {
        outcome.Unacceptable = fault.Unacceptable;
        Fail(outcome, fault.Cause, fault.Stage, url);
    }
    // Bytes received before a failure are kept in the file as well.
    const bool flushed = FlushPending(sink);  // memory mode writes nothing
    if (received && !flushed) {
        Fail(outcome, WindowsErrorCause(sink.WriteError), L"writing the body of", url);
    }
    // Where it ends is known and a disk that took every byte: the rest can
    // be asked for.
    outcome.BodyCut = !received && flushed && !outcome.Unacceptable && sink.File != nullptr &&
                      sink.AnnouncedLength != 0;
    return received && flushed;
}

// The sentence for a failed request: a disk that took no more, an answer no
// server should give, or what the status says.
const wchar_t* FailureSentence(const BodySink& sink, const RequestOutcome& outcome)
{
    if (sink.WriteFailed) {
        return kMsgInstallerNotWritten;
    }
    return outcome.Unacceptable ? kMsgDownloadBadStatus : TransferFailureSentence(outcome.Status, outcome.ThroughProxy);
}

// One GET of `endpoint` by the routes the user's settings choose for `url`:
// the next proxy of a list is tried when one cannot be reached.
bool GetByRoutes(const std::wstring& url, const ReleaseEndpoint& endpoint, BodySink& sink, Ask ask,
                 FetchDeadlines& deadlines, RequestOutcome& outcome, ErrorText& error)
{
    const ProxyChoice choice = ChooseProxyForUrl(url, endpoint.Host, endpoint.Port);
    if (deadlines.HeadersMs == kNoDeadline) {
        deadlines.HeadersMs = GetTickCount64() + HeadersWaitMs();
    }
    for (const std::wstring& route : choice.Routes) {
        FailureDetail sessionFailure;
        const HINTERNET session = sink.Sessions->For(route, url, sessionFailure);
        if (session == nullptr) {
            outcome = RequestOutcome();
            outcome.Detail = sessionFailure;
            error = kMsgDownloadInit;
            return false;
        }
        outcome = RequestOutcome();
        outcome.ThroughProxy = !route.empty();
        if (GetOnce(session, endpoint, sink, ask, deadlines, outcome)) {
            return true;
        }
        if (!outcome.ProxyUnreachable) {
            break;
        }
    }
    error = FailureSentence(sink, outcome);
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
    RequestOutcome outcome;
    ErrorText failure;
    while (resumes < kMaxResumes) {
        Sleep(pauseMs);
        pauseMs *= 2;
        ++resumes;
        FetchDeadlines deadlines = {kNoDeadline, kNoDeadline};
        if (GetByRoutes(url, endpoint, sink, Ask::Rest, deadlines, outcome, failure)) {
            return true;
        }
        // Another drop, or no answer at all, is tried again; any other
        // answer (416, another status, a range that does not go on where
        // the body stopped) ends it.
        const bool droppedAgain = outcome.BodyCut || (outcome.Status == 0 && !sink.WriteFailed);
        if (!droppedAgain) {
            break;
        }
    }
    error = sink.WriteFailed ? failure : dropped;
    detail = drop.substr(0, drop.size() - 1) + L"; resumed " + std::to_wstring(resumes) +
             (resumes == 1 ? L" time, then: " : L" times, the last: ") + outcome.Detail;
    return false;
}

enum class TakeUp { Done, Failed, FromZero };

// A body an earlier download left in the file: its final URL asked for the
// rest. An answer that does not go on from there (but a whole body) leaves
// the file to start again from its first byte.
TakeUp TakeUpPartial(const PartialBody& partial, BodySink& sink, ErrorText& error, FailureDetail& why)
{
    ReleaseEndpoint endpoint;
    ErrorText refused;
    if (ParseReleaseUrl(partial.FinalUrl, endpoint, refused)) {
        sink.Received = partial.Received;
        sink.AnnouncedLength = partial.AnnouncedLength;
        sink.Validator = partial.Validator;
        sink.FinalUrl = partial.FinalUrl;
        LARGE_INTEGER end = {};
        end.QuadPart = sink.FileStart.QuadPart + static_cast<LONGLONG>(partial.Received);
        if (!SetFilePointerEx(sink.File, end, nullptr, FILE_BEGIN)) {
            sink.Received = 0;
            return TakeUp::FromZero;
        }
        FetchDeadlines deadlines = {kNoDeadline, kNoDeadline};
        RequestOutcome outcome;
        ErrorText failure;
        if (GetByRoutes(partial.FinalUrl, endpoint, sink, Ask::Rest, deadlines, outcome, failure)) {
            return TakeUp::Done;
        }
        if (outcome.BodyCut) {
            return AskForTheRest(partial.FinalUrl, endpoint, sink, failure, outcome.Detail, error, why) ? TakeUp::Done
                                                                                                        : TakeUp::Failed;
        }
        // No answer, or a disk that took no more: the bytes kept stay good.
        if (outcome.Status == 0 || sink.WriteFailed) {
            error = failure;
            why = outcome.Detail;
            return TakeUp::Failed;
        }
    }
    sink.Received = 0;
    sink.AnnouncedLength = 0;
    sink.Validator.clear();
    return StartBodyAgain(sink) ? TakeUp::FromZero : TakeUp::Failed;
}

// After a failure: what of the body the file holds that a later download
// can take up.
PartialBody LeftPartial(const BodySink& sink)
{
    PartialBody partial;
    if (sink.File != nullptr && !sink.WriteFailed && sink.AnnouncedLength != 0 && sink.Received != 0 &&
        sink.Received < sink.AnnouncedLength && !sink.Validator.empty()) {
        partial = {sink.FinalUrl, sink.Received, sink.AnnouncedLength, sink.Validator};
    }
    return partial;
}

bool DownloadWhole(const std::wstring& url, BodySink& sink, ErrorText& error, FailureDetail& why)
{
    FetchDeadlines deadlines = {kNoDeadline, sink.Memory != nullptr
                                                 ? GetTickCount64() + kTransferLimits.MemoryDeadlineMs
                                                 : kNoDeadline};
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
        RequestOutcome outcome;
        ErrorText failure;
        sink.FinalUrl = current;
        if (GetByRoutes(current, endpoint, sink, Ask::Whole, deadlines, outcome, failure)) {
            return true;
        }
        if (outcome.BodyCut) {
            return AskForTheRest(current, endpoint, sink, failure, outcome.Detail, error, why);
        }
        if (!IsRedirect(outcome.Status) || outcome.Location.empty() || redirects == kMaxRedirects) {
            error = failure;
            why = IsRedirect(outcome.Status) && !outcome.Location.empty()
                      ? DescribeFailure(L"more than " + std::to_wstring(kMaxRedirects) + L" redirects", L"the last from",
                                        EndpointUrl(endpoint))
                      : outcome.Detail;
            return false;
        }
        // The fetch's time is up: the next request would not be waited for.
        if (GetTickCount64() >= Earlier(deadlines.HeadersMs, deadlines.WholeMs)) {
            error = kMsgDownloadFailed;
            why = DescribeFailure(L"no response headers within " + SecondsText(HeadersWaitMs()),
                                  L"after redirects, the last from", EndpointUrl(endpoint));
            return false;
        }
        // Nothing is sent to a target the policy refuses.
        const std::wstring from = EndpointUrl(endpoint);
        current = WithoutFragment(ResolveRedirectTarget(current, outcome.Location));
        if (!ParseReleaseUrl(current, endpoint, error)) {
            // Nothing was sent to the target: it is only a server's text, cut as one.
            why = DescribeFailure(L"a redirect to " + UrlForLog(current, kLongestTextForLog), L"refused, from", from);
            return false;
        }
    }
}

bool Download(const std::wstring& url, BodySink& sink, ErrorText& error, FailureDetail* detail,
              PartialBody* partial = nullptr)
{
    FailureDetail unused;
    FailureDetail& why = detail != nullptr ? *detail : unused;
    TakeUp takeUp = TakeUp::FromZero;
    if (partial != nullptr && partial->Received != 0) {
        takeUp = TakeUpPartial(*partial, sink, error, why);
    }
    const bool done = takeUp == TakeUp::Done || (takeUp == TakeUp::FromZero && DownloadWhole(url, sink, error, why));
    if (partial != nullptr) {
        *partial = done ? PartialBody() : LeftPartial(sink);
    }
    return done;
}

}  // namespace

const wchar_t* TransferFailureSentence(DWORD status, bool throughProxy)
{
    if (status == HTTP_STATUS_PROXY_AUTH_REQ && throughProxy) {
        return kMsgProxySignIn;
    }
    return (status != 0 && status != HTTP_STATUS_OK) ? kMsgDownloadBadStatus : kMsgDownloadFailed;
}

bool DownloadUrl(const std::wstring& url, ByteBuffer& memory, const DownloadReport& report, ErrorText& error,
                 FailureDetail* detail, TransferSessions* sessions)
{
    TransferSessions own;
    BodySink sink;
    sink.Memory = &memory;
    sink.Report = &report;
    sink.Sessions = sessions != nullptr ? sessions : &own;
    return Download(url, sink, error, detail);
}

bool DownloadUrlToFile(const std::wstring& url, HANDLE file, const DownloadReport& report, ErrorText& error,
                       FailureDetail* detail, const FileDownload& how)
{
    TransferSessions own;
    BodySink sink;
    sink.RequiredLength = how.RequiredLength;
    sink.File = file;
    sink.Report = &report;
    sink.Sessions = how.Sessions != nullptr ? how.Sessions : &own;
    sink.Hash = how.Hash;
    const LARGE_INTEGER here = {};
    SetFilePointerEx(file, here, &sink.FileStart, FILE_CURRENT);
    return Download(url, sink, error, detail, how.Partial);
}

