// Option checks whose refusals read well: CLI11's own number ranges print
// their bounds in full (a positive double's upper bound as 309 digits).
#pragma once

#include <CLI/CLI.hpp>

#include <cmath>
#include <string>

namespace refhost {

// A finite number above zero.
inline CLI::Validator positiveNumber() {
    return CLI::Validator(
        [](std::string& input) {
            double value = 0.0;
            if (CLI::detail::lexical_cast(input, value) && std::isfinite(value) && value > 0.0) return std::string();
            return "'" + input + "' is not a positive number";
        },
        "POSITIVE");
}

} // namespace refhost
