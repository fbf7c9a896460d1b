#include "common/src/network/webserver.h"

#include <cwchar>

namespace {

// The escapes undone after "+" and before "%25", in this order.
const wchar_t* const kDecodings[][2] = {
    {L"%24", L"$"}, {L"%26", L"&"}, {L"%2B", L"+"}, {L"%2C", L","}, {L"%2F", L"/"},  {L"%3A", L":"},  {L"%3B", L";"},
    {L"%3D", L"="}, {L"%3F", L"?"}, {L"%40", L"@"}, {L"%20", L" "}, {L"%21", L"!"},  {L"%22", L"\""}, {L"%3C", L"<"},
    {L"%3E", L">"}, {L"%23", L"#"}, {L"%7B", L"{"}, {L"%7D", L"}"}, {L"%7C", L"|"},  {L"%5C", L"\\"}, {L"%5E", L"^"},
    {L"%7E", L"~"}, {L"%5B", L"["}, {L"%5D", L"]"}, {L"%60", L"`"},
};

// Replace builds a new text even when nothing matches: look first.
void ReplaceIn(CString& str, const wchar_t* from, const wchar_t* to) {
    if (wcsstr(str.WPtr(), from) != nullptr) str = str.Replace(from, to);
}

}  // namespace

CString DecodeURL(CString str) {
    ReplaceIn(str, L"+", L" ");
    if (wcschr(str.WPtr(), L'%') == nullptr) return str;
    for (const auto& decoding : kDecodings) ReplaceIn(str, decoding[0], decoding[1]);
    ReplaceIn(str, L"%25", L"%");
    return str;
}

void DecodeURL(const CString& url, CAssocArray<CString, CString>& get) {
    CAssocArray<CString, CString> pairs = url.Split("&", "=");
    for (int i = 0; i < pairs.Count(); i++) get[DecodeURL(pairs.Key(i))] = DecodeURL(pairs.Value(i));
}
