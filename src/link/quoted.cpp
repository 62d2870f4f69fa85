#include "link/quoted.hpp"

#include <cstdio>

namespace tiltwick {

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        switch (byte) {
            case '"': out += "\\\""; ++i; continue;
            case '\\': out += "\\\\"; ++i; continue;
            case '\0': out += "\\0"; ++i; continue;
            case '\t': out += "\\t"; ++i; continue;
            case '\n': out += "\\n"; ++i; continue;
            case '\r': out += "\\r"; ++i; continue;
            default: break;
        }
        if (byte < 0x20 || byte == 0x7f) {
            char escape[16];
            std::snprintf(escape, sizeof escape, "\\u{%x}", byte);
            out += escape;
            ++i;
            continue;
        }
        // Multi-byte UTF-8 sequences are copied whole; the C1 controls (U+0080..U+009F)
        // are not printable and are escaped like the other control characters.
        if (byte == 0xc2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9f) {
                char escape[16];
                std::snprintf(escape, sizeof escape, "\\u{%x}", next);
                out += escape;
                i += 2;
                continue;
            }
        }
        out += static_cast<char>(byte);
        ++i;
    }
    out += '"';
    return out;
}

}  // namespace tiltwick
