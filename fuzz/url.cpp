// libFuzzer target: URL decoding of arbitrary text, both forms, checked
// against encoding: decoding what EncodeURL wrote gives back the text, and a
// decoded field set encoded and decoded again is the same set in the same
// order. The input's zero bytes are dropped (text cannot hold them).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/src/cbase.h"
#include "common/src/network/webclient.h"
#include "common/src/network/webserver.h"
#include "common/src/osutils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool s_bInit = [] {
        Log_SetLevel(-1);
        OS_Init(nullptr);
        return true;
    }();
    (void)s_bInit;
    std::string bytes;
    for (size_t i = 0; i < size; i++) {
        if (data[i] != 0) bytes += static_cast<char>(data[i]);
    }
    CString text(bytes.c_str());

    DecodeURL(text);
    if (DecodeURL(EncodeURL(text)) != text) abort();

    CAssocArray<CString, CString> get;
    DecodeURL(text, get);
    CAssocArray<CString, CString> again;
    DecodeURL(EncodeURL(get), again);
    if (again.Count() != get.Count()) abort();
    for (int i = 0; i < get.Count(); i++) {
        if (get.Key(i).Length() == 0 || again.Key(i) != get.Key(i) || again.Value(i) != get.Value(i)) abort();
    }
    return 0;
}
