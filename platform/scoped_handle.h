#pragma once

#include <windows.h>

// Owns one handle and releases it when the scope ends. Declaring several in
// a row releases them in reverse order, which is the order the platform wants
// (request before connection before session; hash before provider).
template <typename Handle, void (*Release)(Handle)>
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(Handle handle) : handle_(handle) {}
    ~ScopedHandle() { Reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    Handle Get() const { return handle_; }
    bool IsValid() const { return handle_ != Handle(); }
    // For APIs that return the handle through an out-parameter.
    Handle* Receive()
    {
        Reset();
        return &handle_;
    }
    // Hands the handle on: the caller owns it now.
    Handle Detach()
    {
        const Handle handle = handle_;
        handle_ = Handle();
        return handle;
    }
    void Reset()
    {
        if (handle_ != Handle()) {
            Release(handle_);
            handle_ = Handle();
        }
    }

private:
    Handle handle_ = Handle();
};

inline void CloseFileHandle(HANDLE handle)
{
    CloseHandle(handle);
}

// CreateFileW reports failure as INVALID_HANDLE_VALUE, not null.
inline HANDLE NullIfInvalid(HANDLE handle)
{
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

using ScopedFile = ScopedHandle<HANDLE, CloseFileHandle>;
