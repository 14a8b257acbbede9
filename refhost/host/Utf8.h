// Texts that come from a module (names, messages, describe texts) or from a
// child process that died are bytes, not necessarily UTF-8. Everything refhost
// writes for people and tools (the console, JSON, JUnit XML) is UTF-8, so such
// bytes pass through here first.
#pragma once

#include <string>
#include <string_view>

namespace refhost {

// `bytes` as valid UTF-8: every well-formed sequence kept as it is, every
// other one (a stray continuation byte, a sequence cut short, an overlong
// form, a surrogate, a value past U+10FFFF) replaced by U+FFFD, one for each
// maximal ill-formed part, as the Unicode standard recommends.
std::string validUtf8(std::string_view bytes);

// The length of the UTF-8 character at the start of `bytes` (not empty), or,
// where none starts there, the length of the ill-formed part that validUtf8
// replaces, as a negative number.
int utf8SequenceAt(std::string_view bytes);

// Whether `bytes` start with a control character: C0 (U+0000 to U+001F),
// DEL or C1 (U+0080 to U+009F), which a terminal may act on.
bool controlAt(std::string_view bytes);

inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

} // namespace refhost
