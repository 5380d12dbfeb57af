#include "net/wiretext.h"

#include <array>
#include <cstdint>

namespace u_multiplayer {

namespace {

// Code points of the bytes 0x80 … 0x9F; 0 where the code page has none.
// The other bytes stand for the code point of their own value.
constexpr std::array<char32_t, 32> High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char ByteOf(char32_t cp)
{
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
        return static_cast<char>(cp);
    for (size_t i = 0; i < High.size(); ++i)
        if (High[i] != 0 && High[i] == cp)
            return static_cast<char>(0x80 + i);
    return '?';
}

void PutUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// The code point of the UTF-8 sequence at s[i] and its length; length 0 for
// a malformed sequence (bad lead or continuation byte, overlong form,
// surrogate, beyond U+10FFFF, cut short).
char32_t DecodeUtf8(std::string_view s, size_t i, int& len)
{
    const auto c = static_cast<unsigned char>(s[i]);
    char32_t cp = 0;
    char32_t least = 0;
    if ((c & 0xE0) == 0xC0) {
        len = 2, cp = c & 0x1F, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, cp = c & 0x0F, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, cp = c & 0x07, least = 0x10000;
    } else {
        len = 0;
        return 0;
    }
    if (i + len > s.size()) {
        len = 0;
        return 0;
    }
    for (int k = 1; k < len; ++k) {
        const auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) {
            len = 0;
            return 0;
        }
        cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        len = 0;
    return cp;
}

}  // namespace

std::string Utf8ToWire(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        int len = 0;
        const char32_t cp = DecodeUtf8(s, i, len);
        if (len == 0) {
            out.push_back('?');
            ++i;
            continue;
        }
        out.push_back(ByteOf(cp));
        i += static_cast<size_t>(len);
    }
    return out;
}

std::string WireToUtf8(std::string_view s)
{
    std::string out;
    out.reserve(s.size() * 2);
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        const char32_t cp = (c >= 0x80 && c < 0xA0) ? High[c - 0x80] : c;
        PutUtf8(out, cp == 0 ? U'?' : cp);
    }
    return out;
}

}  // namespace u_multiplayer
