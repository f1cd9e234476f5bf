#pragma once

#include <cstdio>
#include <string>

namespace quillet {

// One short line on stderr, where journald picks it up; stdio keeps lines of threads whole.
inline void serverLog(const std::string& line) {
    std::fprintf(stderr, "quillet-pkcs11-server: %s\n", line.c_str());
}

} // namespace quillet
