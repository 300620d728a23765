#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "release/error_text.h"

// SHA-256 of the file named by AppState.InstallerPath, as 64 lower-case hex
// digits. On success replaces `hexDigest` and leaves `error` untouched; on
// failure leaves `hexDigest` untouched and assigns one of the two
// verification sentences. The file is closed before the call returns, so the
// caller may delete it at once.
[[nodiscard]] bool ComputeFileSha256(std::wstring& hexDigest, ErrorText& error);

// As ComputeFileSha256, for the file open at `file` (with read access),
// hashed from its first byte whatever its position.
[[nodiscard]] bool ComputeHandleSha256(HANDLE file, std::wstring& hexDigest, ErrorText& error);

// Two lower-case hex digits per byte, high four bits first.
std::wstring ToLowerHex(const unsigned char* bytes, size_t count);
