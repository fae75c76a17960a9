// Any bytes as config.ini: parsing never fails, a rewrite keeps every other line, and what was
// written reads back.
#include <cstdlib>

#include "settings/ini_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(bytes), size);
    IniDocument doc(text);
    auto before = doc.Get("SETTING", "SN_Current");
    if (!doc.Set("SETTING", "SN_Current", "00FF"))
        std::abort();
    IniDocument again(doc.Text());
    if (again.Get("SETTING", "SN_Current") != "00FF")
        std::abort();
    if (again.Text() != doc.Text())
        std::abort();
    (void)before;
    return 0;
}
