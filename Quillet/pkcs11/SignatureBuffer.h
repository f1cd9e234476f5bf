#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

// The caller's signature buffer. In: bytes (NULL asks for the length only) and
// its capacity. Out: the signature length, also when the buffer was too small.
struct SignatureBuffer {
    std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
};

} // namespace quillet
