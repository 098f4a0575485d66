#include "runtime/base/terminaltext.h"

namespace {

unsigned char byteAt(std::string_view text, std::size_t at)
{
    return static_cast<unsigned char>(text[at]);
}

// The length of the well-formed UTF-8 sequence that text starts with, by
// the Unicode standard's table (no overlong forms, no surrogates, nothing
// above U+10FFFF); 0 when it starts with none.
std::size_t wellFormedLength(std::string_view text)
{
    const unsigned char lead = byteAt(text, 0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (text.size() < length || byteAt(text, 1) < low || byteAt(text, 1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byteAt(text, i) < 0x80 || byteAt(text, i) > 0xBF)
            return 0;
    return length;
}

bool isControl(std::string_view character)
{
    const unsigned char first = byteAt(character, 0);
    if (character.size() == 2)
        return first == 0xC2 && byteAt(character, 1) <= 0x9F;
    return character.size() == 1 && (first < 0x20 || first == 0x7F || (first >= 0x80 && first <= 0x9F));
}

} // namespace

std::string shownOnTerminal(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = wellFormedLength(text.substr(at));
        // A byte that starts no well-formed sequence is a character of its own.
        const std::string_view character = text.substr(at, length == 0 ? 1 : length);
        if (isControl(character))
            shown += shownControlByte;
        else
            shown += character;
        at += character.size();
    }
    return shown;
}
