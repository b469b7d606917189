#pragma once

// UTF-8, the one text encoding inside the program: a well-formed sequence decoded, bytes
// that are not UTF-8 repaired, the length that spreadsheets count (UTF-16 units), a text
// cut to such a length, and the conversions to and from the UTF-16 of the ODBC driver.

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrove::utf8 {

// The code point of the well-formed sequence at `p` and its length in bytes; length 0 when
// the bytes there are not one (overlong forms, surrogates, a sequence cut short, anything
// past U+10FFFF). `p` is before `end`.
struct Decoded {
    char32_t code;
    std::size_t length;
};
inline Decoded decode(const unsigned char* p, const unsigned char* end) {
    const unsigned char lead = p[0];
    if (lead < 0x80)
        return {lead, 1};
    const auto continuation = [&](std::size_t k, unsigned char low, unsigned char high) {
        return p + k < end && p[k] >= low && p[k] <= high;
    };
    if (lead >= 0xC2 && lead <= 0xDF && continuation(1, 0x80, 0xBF))
        return {static_cast<char32_t>(((lead & 0x1F) << 6) | (p[1] & 0x3F)), 2};
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
        if (continuation(1, low, high) && continuation(2, 0x80, 0xBF))
            return {
                static_cast<char32_t>(((lead & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F)),
                3};
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
        if (continuation(1, low, high) && continuation(2, 0x80, 0xBF) &&
            continuation(3, 0x80, 0xBF))
            return {static_cast<char32_t>(((lead & 0x07) << 18) | ((p[1] & 0x3F) << 12) |
                                          ((p[2] & 0x3F) << 6) | (p[3] & 0x3F)),
                    4};
    }
    return {0xFFFD, 0};
}

// U+FFFD, which stands for each byte that is not part of well-formed UTF-8.
inline constexpr std::string_view Replacement = "\xEF\xBF\xBD";

// Replaces each byte that is not part of well-formed UTF-8 by U+FFFD; whether any was.
bool repair(std::string& text);

// The length of well-formed UTF-8 text in UTF-16 code units, as spreadsheets count it.
std::size_t utf16Length(std::string_view text);

// Cuts well-formed UTF-8 text to at most `units` UTF-16 code units, never inside a
// character; whether it was cut.
bool cutToUtf16Units(std::string& text, std::size_t units);

// The text as UTF-16; each byte that is not part of well-formed UTF-8 becomes U+FFFD.
std::u16string toUtf16(std::string_view text);

// Appends UTF-16 text as UTF-8; half a surrogate pair, which UTF-8 cannot hold, becomes
// U+FFFD.
void appendFromUtf16(std::string& out, const char16_t* text, std::size_t length);

} // namespace kestrove::utf8
