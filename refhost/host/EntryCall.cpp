#include "refhost/host/EntryCall.h"

#include <mutex>
#include <utility>

#include "refhost/host/FloatingPointState.h"

namespace refhost {

namespace entry_call {

// Arguments at 8(%ebp) (entry), 12(%ebp) (words), 16(%ebp) (count). The
// stack pointer at the call is kept in %edi and %ebp, which every entry must
// preserve; the way back is through %ebp, whatever %esp the entry left.
__attribute__((naked)) uint64_t callWithWords(const void*, const uint32_t*, uint32_t) {
    __asm__(
        "pushl %ebp\n\t"
        ".cfi_adjust_cfa_offset 4\n\t"
        ".cfi_offset %ebp, -8\n\t"
        "movl %esp, %ebp\n\t"
        ".cfi_def_cfa_register %ebp\n\t"
        "pushl %esi\n\t"
        "pushl %edi\n\t"
        "movl 12(%ebp), %esi\n\t"
        "movl 16(%ebp), %ecx\n\t"
        "leal 0(,%ecx,4), %eax\n\t"
        "movl %esp, %edi\n\t"
        "subl %eax, %edi\n\t"
        "andl $-16, %edi\n\t"
        "movl %edi, %esp\n\t"
        "xorl %edx, %edx\n\t"
        "1:\n\t"
        "cmpl %ecx, %edx\n\t"
        "jae 2f\n\t"
        "movl (%esi,%edx,4), %eax\n\t"
        "movl %eax, (%edi,%edx,4)\n\t"
        "incl %edx\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        "call *8(%ebp)\n\t"
        "movl %esp, %edx\n\t"
        "subl %edi, %edx\n\t"
        "leal -8(%ebp), %esp\n\t"
        "popl %edi\n\t"
        "popl %esi\n\t"
        "popl %ebp\n\t"
        ".cfi_def_cfa %esp, 4\n\t"
        "ret\n\t");
}

} // namespace entry_call

std::string stackMovedText(const std::string& entry, int32_t moved) {
    return entry + " returned with the stack pointer moved by " + std::to_string(moved) +
           " bytes: is the entry declared with the host's calling convention?";
}

namespace {
std::mutex lateFaultMutex;
std::string firstLateFault;  // guarded by lateFaultMutex
} // namespace

void noteLateFault(const std::string& text) {
    const std::lock_guard<std::mutex> lock(lateFaultMutex);
    if (firstLateFault.empty()) firstLateFault = text;
}

std::string takeLateFault() {
    const std::lock_guard<std::mutex> lock(lateFaultMutex);
    return std::exchange(firstLateFault, std::string());
}

void throwStackMoved(const char* entry, int32_t moved) {
    restoreDefaultFloatingPoint();
    throw EntryFault(stackMovedText(entry, moved));
}

} // namespace refhost
