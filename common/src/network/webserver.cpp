#include "common/src/network/webserver.h"

namespace {

// The escapes undone after "+" and before "%25", in this order.
const char* const kDecodings[][2] = {
    {"%24", "$"},  {"%26", "&"},  {"%2B", "+"}, {"%2C", ","}, {"%2F", "/"}, {"%3A", ":"}, {"%3B", ";"},
    {"%3D", "="},  {"%3F", "?"},  {"%40", "@"}, {"%20", " "}, {"%21", "!"}, {"%22", "\""}, {"%3C", "<"},
    {"%3E", ">"},  {"%23", "#"},  {"%7B", "{"}, {"%7D", "}"}, {"%7C", "|"}, {"%5C", "\\"}, {"%5E", "^"},
    {"%7E", "~"},  {"%5B", "["},  {"%5D", "]"}, {"%60", "`"},
};

}  // namespace

CString DecodeURL(CString str) {
    str = str.Replace("+", " ");
    for (const auto& decoding : kDecodings) str = str.Replace(decoding[0], decoding[1]);
    return str.Replace("%25", "%");
}

void DecodeURL(const CString& url, CAssocArray<CString, CString>& get) {
    CAssocArray<CString, CString> pairs = url.Split("&", "=");
    for (int i = 0; i < pairs.Count(); i++) get[DecodeURL(pairs.Key(i))] = DecodeURL(pairs.Value(i));
}
