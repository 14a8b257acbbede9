// Every call of a module entry goes through one trampoline. The host's
// calling convention leaves the arguments for the caller to pop; an entry
// compiled to pop its own (or to leave more behind) would return with the
// stack pointer moved, and code that goes on as if it had not crashes later,
// far from the cause. The trampoline notes the stack pointer at the call,
// puts it back itself after the return, and hands over the difference, so
// that the caller is safe whatever the entry did and can say what happened.
// It leaves the floating-point settings as the entry left them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace refhost {

// An entry returned with the stack pointer moved. Thrown only after the
// trampoline has put the stack back, never while module code is on it.
struct EntryFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "evaluate returned with the stack pointer moved by 8 bytes: is the entry
// declared with the host's calling convention?"
std::string stackMovedText(const std::string& entry, int32_t moved);

// The first fault of an entry called where nothing can be thrown (the
// shutdown entry as a module unloads, destroy as a session ends), kept for
// whoever reports how the run ended. Taking it clears it; empty when there
// was none.
void noteLateFault(const std::string& text);
std::string takeLateFault();

namespace entry_call {

// Calls `entry` with `count` argument words copied from `words` to a fresh,
// 16-byte aligned stack area. Returns what the entry left in eax in the low
// half and the stack pointer after the return minus the one at the call, in
// bytes, in the high half (8 for an entry that popped two argument words).
uint64_t callWithWords(const void* entry, const uint32_t* words, uint32_t count);

template <class T>
constexpr std::size_t wordsOf = sizeof(T) / 4;

template <class R>
constexpr bool fitsEax() {
    if constexpr (std::is_void_v<R>)
        return true;
    else
        return (std::is_integral_v<R> || std::is_pointer_v<R>) && sizeof(R) == 4;
}

} // namespace entry_call

// Calls `entry` with `args` through the trampoline; `moved` gets the stack
// pointer's change in bytes, 0 for an entry with the host's convention.
// Arguments are whole 32-bit words (integers, pointers, doubles); results fit
// eax (integers, pointers) or there are none.
template <class R, class... P>
R callEntryMeasured(int32_t& moved, R (*entry)(P...), std::type_identity_t<P>... args) {
    static_assert(((sizeof(P) % 4 == 0 && std::is_trivially_copyable_v<P>) && ...), "argument words of 32 bits");
    static_assert(entry_call::fitsEax<R>(), "a result in eax");
    constexpr std::size_t count = (std::size_t{0} + ... + entry_call::wordsOf<P>);
    uint32_t words[count > 0 ? count : 1] = {};
    [[maybe_unused]] std::size_t at = 0;
    ((std::memcpy(words + at, &args, sizeof args), at += entry_call::wordsOf<P>), ...);
    const uint64_t both =
        entry_call::callWithWords(reinterpret_cast<const void*>(entry), words, static_cast<uint32_t>(count));
    moved = static_cast<int32_t>(static_cast<uint32_t>(both >> 32));
    if constexpr (!std::is_void_v<R>) {
        const auto low = static_cast<uint32_t>(both);
        R result;
        std::memcpy(&result, &low, sizeof result);
        return result;
    }
}

// Puts the host's default floating-point settings back and throws the
// EntryFault of `entry`.
[[noreturn]] void throwStackMoved(const char* entry, int32_t moved);

// The same; throws EntryFault naming `name` when the stack pointer moved.
template <class R, class... P>
R callEntry(const char* name, R (*entry)(P...), std::type_identity_t<P>... args) {
    int32_t moved = 0;
    if constexpr (std::is_void_v<R>) {
        callEntryMeasured(moved, entry, args...);
        if (moved) [[unlikely]]
            throwStackMoved(name, moved);
    } else {
        const R result = callEntryMeasured(moved, entry, args...);
        if (moved) [[unlikely]]
            throwStackMoved(name, moved);
        return result;
    }
}

} // namespace refhost
