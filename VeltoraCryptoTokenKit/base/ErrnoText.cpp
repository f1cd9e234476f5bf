#include "VeltoraCryptoTokenKit/base/ErrnoText.h"

#include <array>
#include <cstring>

namespace veltora {

namespace {

// strerror_r comes in two kinds, picked by the feature macros: the GNU one
// returns the text (which may or may not be in the buffer), the POSIX one fills
// the buffer and returns a status.
[[maybe_unused]] std::string textOf(const char* text, const char* /*buffer*/) {
    return text;
}

[[maybe_unused]] std::string textOf(int status, const char* buffer) {
    return status == 0 ? std::string(buffer) : std::string();
}

} // namespace

std::string errnoText(int error) {
    std::array<char, 256> buffer{};
    std::string text = textOf(strerror_r(error, buffer.data(), buffer.size()), buffer.data());
    return text.empty() ? "Unknown error " + std::to_string(error) : text;
}

} // namespace veltora
