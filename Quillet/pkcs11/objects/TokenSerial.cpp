#include "Quillet/pkcs11/objects/TokenSerial.h"

#include "Quillet/platform/CryptoContext.h"

#include <cstdint>
#include <span>

namespace quillet {

std::string tokenSerial(std::string_view instanceID) {
    const auto digest = CryptoContext::sha256(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(instanceID.data()), instanceID.size()));
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string serial(16, '0');
    for (std::size_t i = 0; i < 8 && i < digest.size(); ++i) {
        serial[2 * i] = kHexDigits[digest[i] >> 4];
        serial[2 * i + 1] = kHexDigits[digest[i] & 0x0f];
    }
    return serial;
}

} // namespace quillet
