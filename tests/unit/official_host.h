#pragma once

#include <string>

#include "release/build_settings.h"

// The official host as the tests expect it: the TAVRO_OFFICIAL_HOST build
// setting, taken from the build rather than from the program, so that the
// tests hold for any host a build names and catch a program that ignores it.

inline std::wstring Host()
{
    return TAVRO_WIDEN(TAVRO_TEST_OFFICIAL_HOST);
}

// "https://" + the official host + the rest ("/path", ":8443/path", "").
inline std::wstring OfficialUrl(const std::wstring& rest)
{
    return L"https://" + Host() + rest;
}

// ASCII text as bytes, for what the test bed's server is given.
inline std::string Narrow(const std::wstring& ascii)
{
    return std::string(ascii.begin(), ascii.end());
}

// a to z made capitals; every other character kept.
inline std::wstring UpperAscii(std::wstring text)
{
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return text;
}

inline std::wstring Widen(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}
