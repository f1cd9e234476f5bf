#include "Quillet/pkcs11/objects/TextFields.h"

#include "VeltoraCryptoTokenKit/base/Utf8.h"

#include <algorithm>

namespace quillet {

void fillBlankPadded(std::span<CK_UTF8CHAR> field, std::string_view text) {
    const std::string fitting = veltora::utf8Prefix(text, field.size());
    std::fill(field.begin(), field.end(), static_cast<CK_UTF8CHAR>(' '));
    std::copy(fitting.begin(), fitting.end(), field.begin());
}

} // namespace quillet
