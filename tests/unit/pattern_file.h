#pragma once

#include <string>

#include "release/error_text.h"

// The test bed's fixed byte pattern (byte i is i*31+7), which its release
// server also serves as /bytes/N.
ByteBuffer PatternBytes(size_t count);

// Writes the bytes to a file; false when it cannot.
bool WriteFileBytes(const std::wstring& path, const ByteBuffer& bytes);

// The whole content of a file, or empty when it cannot be read.
ByteBuffer ReadFileBytes(const std::wstring& path);
