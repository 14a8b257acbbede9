// UTF-8, the text refhost keeps inside, and UTF-16, the text of Windows' wide
// system calls: the one pair of conversions between them, for Windows.cpp and
// the tests that start refhost.exe.
#pragma once

#include <windows.h>

#include <string>

namespace refhost::platform {

// Bytes that are not UTF-8 become U+FFFD, as the system converts them.
inline std::wstring wide(const std::string& text) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

// A lone surrogate (a name Windows allows) becomes U+FFFD.
inline std::string narrow(const wchar_t* text, std::size_t length) {
    if (length == 0) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr, nullptr);
    return out;
}

inline std::string narrow(const std::wstring& text) { return narrow(text.data(), text.size()); }

} // namespace refhost::platform
