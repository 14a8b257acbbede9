#include "refhost/host/ModuleFault.h"

namespace refhost {

thread_local const char* EntryInProgress::current = nullptr;

std::string ModuleFault::text() const {
    // An entry's name is one word; what else runs module code is said in words ("static constructors").
    const std::string in = entry.empty()                            ? "outside its entries"
                           : entry.find(' ') == std::string::npos ? "in its " + entry + " entry"
                                                                   : "in its " + entry;
    return "the module crashed " + in + ": " + fault.what + ": " + fault.where;
}

std::optional<ModuleFault> catchModuleFault(const std::function<void()>& work) {
    const char* const outer = EntryInProgress::current;
    std::optional<platform::Fault> fault = platform::runCatchingFaults(work);
    if (!fault) return std::nullopt;
    ModuleFault caught{EntryInProgress::current ? EntryInProgress::current : "", std::move(*fault)};
    EntryInProgress::current = outer;
    return caught;
}

} // namespace refhost
