// Words about a fault, written where allocating is not safe (a fault handler)
// into a fixed buffer, and made readable later, where it is. The same on every
// system; each implementation finds the module and symbol its own way.
#pragma once

#include <cxxabi.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace refhost::platform {

// Appends to a terminated text in a fixed buffer, cutting what does not fit.
struct FaultText {
    char* out;
    std::size_t size;
    std::size_t used = 0;

    // Empties the buffer, or with `append` goes on after what it holds.
    FaultText(char* buffer, std::size_t bytes, bool append = false) : out(buffer), size(bytes) {
        while (append && used + 1 < size && out[used]) ++used;
        if (size) out[used] = '\0';
    }
    FaultText& put(const char* text, std::size_t length = SIZE_MAX) {
        for (std::size_t i = 0; i < length && text[i] && used + 1 < size; ++i) out[used++] = text[i];
        if (size) out[used] = '\0';
        return *this;
    }
    // 0x and at least `digits` hexadecimal digits.
    FaultText& hex(uintptr_t value, int digits = 1) {
        char text[2 + 2 * sizeof value + 1];
        char* at = text + sizeof text - 1;
        *at = '\0';
        do {
            *--at = "0123456789abcdef"[value & 0xF];
            value >>= 4;
            --digits;
        } while (value || digits > 0);
        *--at = 'x';
        *--at = '0';
        return put(at);
    }
    // " in NAME+0xOFFSET", and " (SYMBOL+0xOFFSET)" when a symbol is known.
    FaultText& location(const char* module, uintptr_t offset, const char* symbol, uintptr_t fromSymbol) {
        put(" in ").put(module).put("+").hex(offset);
        if (symbol && *symbol) put(" (").put(symbol).put("+").hex(fromSymbol).put(")");
        return *this;
    }
};

// A demangled function name as its source calls it: without its parameter
// list and without the anonymous namespace ("copyEntry", "Shader::evaluate").
inline std::string shortFunctionName(std::string name) {
    const std::size_t end = name.rfind(')');
    if (end != std::string::npos && name.find_first_not_of(" const", end + 1) == std::string::npos) {
        int depth = 0;
        for (std::size_t i = end + 1; i-- > 0;) {
            depth += name[i] == ')' ? 1 : name[i] == '(' ? -1 : 0;
            if (depth == 0) {
                name.erase(i);
                break;
            }
        }
    }
    const std::string anonymous = "(anonymous namespace)::";
    for (std::size_t at; (at = name.find(anonymous)) != std::string::npos;) name.erase(at, anonymous.size());
    return name;
}

// `text` with each mangled C++ symbol in it ("(_ZN...+0x10)") named as its
// source names it. Not for a fault handler: the demangler allocates.
inline std::string readableSymbols(std::string text) {
    for (std::size_t at = text.find("(_Z"); at != std::string::npos; at = text.find("(_Z", at + 1)) {
        const std::size_t end = text.find("+0x", at);
        if (end == std::string::npos) break;
        int status = 0;
        char* plain = abi::__cxa_demangle(text.substr(at + 1, end - at - 1).c_str(), nullptr, nullptr, &status);
        if (status == 0 && plain) text.replace(at + 1, end - at - 1, shortFunctionName(plain));
        std::free(plain);
    }
    return text;
}

} // namespace refhost::platform
