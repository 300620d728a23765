#pragma once

#include <string>

#include "release/error_text.h"

// One synchronous HTTPS GET of a URL that passes the release URL policy
// (checked here on every call, before any network activity).
//
// filePath empty: the body is appended to `memory` (never cleared first).
// filePath set:   the body goes to that file, created or truncated only after
//                 the server answered 200; `memory` is not touched.
// reportProgress: posts WM_INSTALLER_PROGRESS to MainWindow after every chunk
//                 when the server announced a Content-Length.
//
// Returns false with a sentence in `error` on any failure; bytes received
// before a failure stay in the buffer or the file.
[[nodiscard]] bool DownloadUrl(const std::wstring& url, ByteBuffer& memory, const std::wstring& filePath,
                               bool reportProgress, ErrorText& error);

// Percent for the progress bar: received * 100 / announced in 64 bits,
// rounded down and capped at 100. `announced` must not be 0.
unsigned DownloadPercent(unsigned long received, unsigned long announced);
