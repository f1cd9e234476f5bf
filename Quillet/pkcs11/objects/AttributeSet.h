#pragma once

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string_view>
#include <vector>

namespace quillet {

// The attributes of one object, built once and never changed afterwards.
class AttributeSet {
public:
    void setBytes(CK_ATTRIBUTE_TYPE type, std::vector<std::uint8_t> value);
    void setText(CK_ATTRIBUTE_TYPE type, std::string_view text);
    void setBool(CK_ATTRIBUTE_TYPE type, bool value);
    void setUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
    void setUlongs(CK_ATTRIBUTE_TYPE type, std::span<const CK_ULONG> values);
    // An attribute the object has but never reveals (a private key's secrets).
    void setSensitive(CK_ATTRIBUTE_TYPE type);

    // Fills the caller's template: a NULL pValue asks for the length; an
    // attribute the object lacks, a sensitive one or a short buffer sets
    // ulValueLen to CK_UNAVAILABLE_INFORMATION. Every entry is processed; the
    // error names the last kind of failure met.
    veltora::Result<void> read(std::span<CK_ATTRIBUTE> attributes) const;

    // True when the object has every attribute of the template with exactly that value.
    bool matches(std::span<const CK_ATTRIBUTE> search) const;

    const std::vector<std::uint8_t>* find(CK_ATTRIBUTE_TYPE type) const;
    // The sum of the value lengths: what C_GetObjectSize answers.
    std::size_t size() const;

private:
    std::map<CK_ATTRIBUTE_TYPE, std::vector<std::uint8_t>> values_;
    std::set<CK_ATTRIBUTE_TYPE> sensitive_;
};

} // namespace quillet
