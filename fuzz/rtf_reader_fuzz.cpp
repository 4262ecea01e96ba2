// Fuzz target for the rich-text document reader: any bytes must be read or
// refused without a crash, and a text that was read must survive being
// written and read again unchanged.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "system/rtf/rtf_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto text = korvala::rtf::readDocument(bytes);
    if (!text) return 0;
    const std::string document = korvala::rtf::writeDocument(*text);
    const auto back = korvala::rtf::readDocument(document);
    if (!back || *back != *text) __builtin_trap();
    return 0;
}
