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

// Any finite number (not nan, not an infinity).
inline CLI::Validator finiteNumber() {
    return CLI::Validator(
        [](std::string& input) {
            double value = 0.0;
            if (CLI::detail::lexical_cast(input, value) && std::isfinite(value)) return std::string();
            return "'" + input + "' is not a finite number";
        },
        "NUMBER");
}

// A file name ending in .png: refhost writes PNG files only, and a name that
// asks for another format would get PNG bytes under it.
inline CLI::Validator pngFileName() {
    return CLI::Validator(
        [](std::string& input) {
            const std::size_t dot = input.rfind('.');
            std::string extension = dot == std::string::npos ? "" : input.substr(dot);
            for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (extension == ".png") return std::string();
            return "'" + input + "' does not end in .png; refhost writes PNG files only";
        },
        "FILE.png");
}

} // namespace refhost
