#pragma once

#include <windows.h>

// An object two threads share (a `LONG Holders` count, 2 at the start), freed
// by whichever lets go last; neither need outlive the other.
template <typename Shared>
void LetGoOfShared(Shared* shared)
{
    if (InterlockedDecrement(&shared->Holders) == 0) {
        delete shared;
    }
}
