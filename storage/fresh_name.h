#pragma once

#include <windows.h>

#include <string>

// Makes something (a file, a directory) under the first free name among
// prefix + "0" + suffix, prefix + "1" + suffix, ... (a hundred at most):
// `create` tries one path and returns true when it made it there. A name
// that exists already, left by an earlier process with the same ids, is
// skipped; any other failure ends the search. On success `path` names what
// was made.
template <typename Create>
bool CreateUnderFreshName(const std::wstring& prefix, const std::wstring& suffix, Create create, std::wstring& path)
{
    for (unsigned n = 0; n < 100; ++n) {
        const std::wstring candidate = prefix + std::to_wstring(n) + suffix;
        if (create(candidate)) {
            path = candidate;
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return false;
}
