#include "release/transfer/body_reading.h"

#include "release/failure_detail.h"
#include "release/transfer/transfer_limits.h"

namespace {

bool Stop(BodyFault& fault, const std::wstring& cause, const wchar_t* stage = L"reading")
{
    fault.Cause = cause;
    fault.Stage = stage;
    return false;
}

// A body that brought more than it may: past the manifest's cap, or,
// without a length, past the installer ceiling (an answer no server should
// give).
bool StopTooLarge(const BodySink& sink, BodyFault& fault)
{
    if (sink.Memory != nullptr) {
        return Stop(fault, L"a body above " + std::to_wstring(kMemoryBodyCap) + L" bytes");
    }
    fault.Unacceptable = true;
    return Stop(fault, L"a body without a length beyond the ceiling of " +
                           std::to_wstring(kTransferLimits.InstallerCapBytes) + L" bytes");
}

// One percent of a body whose progress is reported, but no less than a TLS
// record carries (16 KiB), which one read brings anyway; else a whole read
// block.
DWORD ProgressStep(const BodySink& sink)
{
    constexpr unsigned long long kRecordBytes = 16 * 1024;
    if (sink.AnnouncedLength == 0 || sink.Report == nullptr || !sink.Report->Progress) {
        return kReadBlockBytes;
    }
    const unsigned long long step = sink.AnnouncedLength / 100;
    return step < kRecordBytes ? static_cast<DWORD>(kRecordBytes)
           : step < kReadBlockBytes ? static_cast<DWORD>(step)
                                    : kReadBlockBytes;
}

std::wstring LowSpeedCause()
{
    return L"fewer than " + std::to_wstring(kTransferLimits.LowSpeedFloorBytes) + L" bytes in " +
           SecondsText(kTransferLimits.LowSpeedWindowMs);
}

}  // namespace

bool ReceiveBody(const AsyncRequest& request, BodySink& sink, ULONGLONG deadlineMs, const std::wstring& timeUp,
                 BodyFault& fault)
{
    ULONGLONG windowEndMs = request.StartWindow();
    // A window that passed below the floor ends the body, unless the body is
    // already complete: then the service says so at once.
    bool slow = false;
    while (!BodyComplete(sink)) {
        const DWORD room = RoomForNextRead(sink);
        if (sink.WriteFailed) {
            return Stop(fault, WindowsErrorCause(sink.WriteError), L"writing the body of");
        }
        if (room == 0 || slow) {
            // Only the end of the body may come now.
            const ULONGLONG waitMs = slow ? 0 : Earlier(windowEndMs, deadlineMs);
            if (!request.Call([&] { return WinHttpQueryDataAvailable(request.Handle(), nullptr); },
                              WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE, waitMs)) {
                return Stop(fault, CallFailure(request, waitMs == deadlineMs ? timeUp : LowSpeedCause()));
            }
            if (request.State().Count == 0) {
                break;
            }
            return slow ? Stop(fault, LowSpeedCause()) : StopTooLarge(sink, fault);
        }
        // A batch is at most one percent of a large body whose progress is
        // shown, so that the bar moves with every percent.
        const DWORD step = ProgressStep(sink);
        const DWORD batchRoom = room < step ? room : step;
        request.StartReadBatch(ReadPlace(sink), batchRoom,
                               sink.AnnouncedLength != 0 && sink.Received + batchRoom >= sink.AnnouncedLength);
        // While the batch reads on into the current block, the full one is
        // written and hashed on a pool thread.
        StartWritingFull(sink);
        BatchProgress batch;
        for (DWORD taken = 0;;) {
            batch = request.WaitForBatch(Earlier(windowEndMs, deadlineMs));
            windowEndMs = batch.WindowEndMs;
            if (batch.Filled > taken) {
                TakeRead(sink, batch.Filled - taken);
                taken = batch.Filled;
            }
            if (batch.Ended) {
                break;
            }
            const ULONGLONG now = GetTickCount64();
            if (now >= deadlineMs || now >= windowEndMs) {
                request.StopReadBatch();
                return Stop(fault, now >= deadlineMs ? timeUp : LowSpeedCause());
            }
        }
        if (batch.Failed) {
            return Stop(fault, CallFailure(request, timeUp));
        }
        if (batch.EndOfBody) {
            break;
        }
        slow = batch.Slow;
    }
    // Some HTTP stacks report a body cut short by a dropped connection as
    // complete; a body shorter than its announced length is a failed read.
    if (sink.Received < sink.AnnouncedLength) {
        return Stop(fault, L"the body ended at " + std::to_wstring(sink.Received) + L" of " +
                               std::to_wstring(sink.AnnouncedLength) + L" bytes");
    }
    return true;
}

std::wstring SecondsText(ULONGLONG ms)
{
    return std::to_wstring(ms / 1000) + L" s";
}
