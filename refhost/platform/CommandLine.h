// A Windows command line, built from arguments. Windows.cpp starts its check
// children with it; the loaded tests start refhost.exe with it.
#pragma once

#include <string>

namespace refhost::platform {

// Appends one argument as the C runtime splits a command line: quoted when it
// has spaces, tabs or quotes (or is empty), its quotes and the backslashes
// before them escaped.
inline void appendArgument(std::wstring& line, const std::wstring& argument) {
    if (!line.empty()) line += L' ';
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

} // namespace refhost::platform
