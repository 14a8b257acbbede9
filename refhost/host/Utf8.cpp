#include "refhost/host/Utf8.h"

#include <cstdint>

namespace refhost {

int utf8SequenceAt(std::string_view in) {
    const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(in[i]); };
    const uint8_t lead = byte(0);
    if (lead < 0x80) return 1;
    // The second byte's range depends on the lead byte: it excludes overlong
    // forms (E0, F0), surrogates (ED) and values past U+10FFFF (F4).
    int length = 0;
    uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return -1;
    }
    for (int i = 1; i < length; ++i) {
        if (static_cast<std::size_t>(i) >= in.size()) return -i;
        const uint8_t c = byte(static_cast<std::size_t>(i));
        if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return -i;
    }
    return length;
}

bool controlAt(std::string_view bytes) {
    if (bytes.empty()) return false;
    const auto lead = static_cast<uint8_t>(bytes[0]);
    if (lead < 0x20 || lead == 0x7F) return true;
    return lead == 0xC2 && bytes.size() > 1 && static_cast<uint8_t>(bytes[1]) >= 0x80 &&
           static_cast<uint8_t>(bytes[1]) < 0xA0;
}

std::string validUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const int n = utf8SequenceAt(bytes);
        if (n > 0)
            out.append(bytes.substr(0, static_cast<std::size_t>(n)));
        else
            out.append(kReplacementCharacter);
        bytes.remove_prefix(static_cast<std::size_t>(n > 0 ? n : -n));
    }
    return out;
}

} // namespace refhost
