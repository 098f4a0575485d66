// Foreign text (names and commands from a packed file) as it may be shown on
// a terminal: nothing in it may act on the terminal instead of being shown.
#pragma once
#include <string>
#include <string_view>

constexpr char shownControlByte = '?';

// The text with every control character in it replaced by one '?': the C0
// bytes (below 0x20) and DEL, the C1 controls U+0080 to U+009F in their
// UTF-8 form (0xC2 0x80 to 0xC2 0x9F, such as the CSI 0xC2 0x9B), and every
// byte 0x80 to 0x9F that is no part of a well-formed UTF-8 sequence (a
// terminal in an 8-bit mode takes it for a C1 control). The bytes of a
// well-formed UTF-8 character stay, and so does any other byte.
std::string shownOnTerminal(std::string_view text);
