#pragma once

#include <atomic>
#include <cstdint>

namespace veltora {

// A message carries exactly one flag; a level is a mask of flags.
enum class DDLogFlag : std::uint32_t {
    error = 1,
    warning = 2,
    info = 4,
    debug = 8,
    verbose = 16,
};

enum class DDLogLevel : std::uint32_t {
    off = 0,
    error = 1,
    warning = 3,
    info = 7,
    debug = 15,
    verbose = 31,
    all = 0xFFFFFFFFu,
};

// Union of the level masks of every registration asked for in this process:
// the registry adds to it, the log calls read it.
extern std::atomic<std::uint32_t> registeredFlags;

constexpr bool levelAccepts(DDLogLevel level, DDLogFlag flag) {
    return (static_cast<std::uint32_t>(level) & static_cast<std::uint32_t>(flag)) != 0;
}

} // namespace veltora
