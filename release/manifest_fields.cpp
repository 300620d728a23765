#include "release/manifest_fields.h"

namespace {

constexpr size_t kSha256HexLength = 64;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long long DaysFromCivil(long long year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

bool ReadNumber(const std::wstring& text, size_t at, size_t digits, unsigned& value)
{
    value = 0;
    for (size_t i = at; i < at + digits; ++i) {
        if (text[i] < L'0' || text[i] > L'9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(text[i] - L'0');
    }
    return true;
}

// Each rule's word, and what a value not well formed is not.
struct RuleTexts {
    FieldRule Rule;
    const wchar_t* Word;
    const wchar_t* MalformedCause;
};

constexpr RuleTexts kRuleTexts[] = {
    {FieldRule::Origin, L"origin", L"empty"},
    {FieldRule::FileName, L"filename", L"empty"},
    {FieldRule::Url, L"url", L"empty"},
    {FieldRule::Sha256, L"sha256", L"not 64 characters"},
    {FieldRule::Text, L"text", L"empty"},
    {FieldRule::UtcTime, L"utctime", L"not a UTC time"},
    {FieldRule::Sequence, L"sequence", L"not a positive number"},
    {FieldRule::Size, L"size", L"not a number"},
    {FieldRule::Signature, L"signature", L"empty"},
};

const RuleTexts& TextsOf(FieldRule rule)
{
    for (const RuleTexts& texts : kRuleTexts) {
        if (texts.Rule == rule) {
            return texts;
        }
    }
    return kRuleTexts[0];  // every rule has its row
}

}  // namespace

const wchar_t* RuleWord(FieldRule rule)
{
    return TextsOf(rule).Word;
}

const ManifestField* FindField(const std::wstring& name)
{
    const std::wstring folded = FoldAsciiCase(name);
    for (const ManifestField& field : kManifestFields) {
        if (FoldAsciiCase(field.Name) == folded) {
            return &field;
        }
    }
    return nullptr;
}

const std::wstring* FieldValue(const ReleaseManifest& manifest, const wchar_t* name)
{
    const auto entry = manifest.find(FoldAsciiCase(name));
    return entry == manifest.end() ? nullptr : &entry->second;
}

bool IsWellFormed(const std::wstring& value, FieldRule rule)
{
    long long seconds = 0;
    unsigned long long number = 0;
    switch (rule) {
    case FieldRule::Sha256:
        return value.size() == kSha256HexLength;
    case FieldRule::UtcTime:
        return ParseUtcTime(value, seconds);
    case FieldRule::Sequence:
        return ParseDecimal(value, number) && number != 0;
    case FieldRule::Size:
        return ParseDecimal(value, number);
    default:
        return !value.empty();
    }
}

const wchar_t* MalformedCause(FieldRule rule)
{
    return TextsOf(rule).MalformedCause;
}

bool ParseUtcTime(const std::wstring& text, long long& seconds)
{
    // YYYY-MM-DDTHH:MM:SSZ
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (text.size() != 20 || text[4] != L'-' || text[7] != L'-' || text[10] != L'T' || text[13] != L':' ||
        text[16] != L':' || text[19] != L'Z' || !ReadNumber(text, 0, 4, year) || !ReadNumber(text, 5, 2, month) ||
        !ReadNumber(text, 8, 2, day) || !ReadNumber(text, 11, 2, hour) || !ReadNumber(text, 14, 2, minute) ||
        !ReadNumber(text, 17, 2, second)) {
        return false;
    }
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1970 || month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

bool ParseDecimal(const std::wstring& text, unsigned long long& value)
{
    if (text.empty() || text.size() > 19) {
        return false;
    }
    value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long long>(c - L'0');
    }
    return true;
}
