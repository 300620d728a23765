#pragma once

#include <windows.h>

// An object two threads share (a `LONG Holders` count, 2 at the start): each
// releases its hold once, and the last to do so frees it; neither need
// outlive the other.
template <typename Shared>
void ReleaseShared(Shared* shared)
{
    if (InterlockedDecrement(&shared->Holders) == 0) {
        delete shared;
    }
}
