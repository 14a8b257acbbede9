#include "module/ServerTable.h"

namespace velorastin {

ServerTable serverTable;

int32_t ServerTable::add(const char* className, const char* serverName, host::ActivateFunc activate) {
    for (int32_t i = 0; i < count; ++i) {
        if (rows[i].className == className && rows[i].serverName == serverName) return 0;
    }
    if (count >= host::kServerTableRows - 1) return 0;
    rows[count] = {className, serverName, activate};
    ++count;
    rows[count] = {nullptr, nullptr, nullptr};
    return 1;
}

int32_t registerServer(const char* className, const char* serverName, host::ActivateFunc activate) {
    return serverTable.add(className, serverName, activate);
}

} // namespace velorastin
