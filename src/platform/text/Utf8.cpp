#include "platform/text/Utf8.h"

namespace kestrove::utf8 {

bool repair(std::string& text) {
    const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = begin + text.size();
    std::string repaired;
    bool changed = false;
    for (const unsigned char* p = begin; p < end;) {
        const std::size_t length = *p < 0x80 ? 1 : decode(p, end).length;
        if (length == 0 && !changed) {
            repaired.assign(text, 0, static_cast<std::size_t>(p - begin));
            changed = true;
        }
        if (length == 0)
            repaired += Replacement;
        else if (changed)
            repaired.append(reinterpret_cast<const char*>(p), length);
        p += length == 0 ? 1 : length;
    }
    if (changed)
        text = std::move(repaired);
    return changed;
}

std::size_t utf16Length(std::string_view text) {
    std::size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80)
            units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

bool cutToUtf16Units(std::string& text, std::size_t units) {
    if (text.size() <= units || utf16Length(text) <= units)
        return false;
    std::size_t taken = 0;
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) == 0x80)
            continue;
        const std::size_t width = c >= 0xF0 ? 2 : 1;
        if (taken + width > units)
            break;
        taken += width;
    }
    text.resize(i);
    return true;
}

std::u16string toUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        const Decoded decoded = decode(p, end);
        char32_t code = decoded.code;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
        p += decoded.length == 0 ? 1 : decoded.length;
    }
    return out;
}

void appendFromUtf16(std::string& out, const char16_t* text, std::size_t length) {
    // Room for the longest encoding (three bytes per UTF-16 unit), then cut to what was
    // written: one pass, no check per byte.
    const std::size_t start = out.size();
    out.resize(start + 3 * length);
    char* p = out.data() + start;
    for (std::size_t i = 0; i < length; ++i) {
        char32_t code = text[i];
        if (code < 0x80) {
            *p++ = static_cast<char>(code);
            continue;
        }
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD; // half a pair has no UTF-8 form
        }
        if (code < 0x800) {
            *p++ = static_cast<char>(0xC0 | (code >> 6));
            *p++ = static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *p++ = static_cast<char>(0xE0 | (code >> 12));
            *p++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *p++ = static_cast<char>(0xF0 | (code >> 18));
            *p++ = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

} // namespace kestrove::utf8
