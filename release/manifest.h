#pragma once

#include <map>
#include <string>

#include "release/error_text.h"

// Key-to-value table of a release manifest. Keys are lower-cased (A to Z only)
// and trimmed; values are trimmed and keep their case. std::map over
// std::wstring orders keys by unsigned UTF-16 code units, as wanted.
using ReleaseManifest = std::map<std::wstring, std::wstring>;

// Decodes strict UTF-8 (all or nothing). Returns the empty text for an empty
// buffer and for any ill-formed input; never substitutes U+FFFD. A BOM stays
// as U+FEFF and a zero byte as U+0000.
std::wstring Utf8ToWide(const ByteBuffer& bytes);

// Strips space, tab, CR and LF (and only those) from both ends.
std::wstring TrimWhitespace(const std::wstring& text);

// Folds exactly A to Z to a to z, one UTF-16 code unit at a time, as towlower
// does in the default "C" locale. Every other code unit is kept.
std::wstring FoldAsciiCase(const std::wstring& text);

// Parses key=value lines separated by LF. Never fails: lines it cannot use
// (blank, "#" comments, no "=" or "=" first) are skipped; a later key wins.
// `repeatedKey`, when given, receives the first key (lower-cased) that a
// later line gives again, or stays empty.
ReleaseManifest ParseReleaseManifest(const std::wstring& text, std::wstring* repeatedKey = nullptr);
