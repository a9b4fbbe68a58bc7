#include "Shown.h"

#include <algorithm>

namespace tools {
namespace {

// The length of the well-formed UTF-8 sequence of a printable character at text[at]; 0 when the
// bytes there are a control character (C0, DEL, C1) or no UTF-8.
size_t PrintableLength(std::string_view text, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        return lead >= 0x20 && lead != 0x7F ? 1 : 0;
    }
    size_t length = 0;
    char32_t code = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (next & 0x3F);
    }
    constexpr char32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid = code >= shortest[length] && code <= 0x10FFFF &&
                       !(code >= 0xD800 && code <= 0xDFFF) && !(code >= 0x80 && code <= 0x9F);
    return valid ? length : 0;
}

}  // namespace

std::string shown(std::string_view text, size_t limit) {
    std::string out = "'";
    size_t characters = 0;
    size_t at = 0;
    for (; at < text.size() && characters < limit; ++characters) {
        const size_t length = PrintableLength(text, at);
        if (length == 0) {
            out += '?';
            ++at;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    if (at < text.size()) {
        size_t total = characters;
        for (; at < text.size(); ++total) {
            at += std::max<size_t>(1, PrintableLength(text, at));
        }
        return out + "'... (" + std::to_string(total) + " characters)";
    }
    return out + "'";
}

}  // namespace tools
