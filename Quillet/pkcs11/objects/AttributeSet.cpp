#include "Quillet/pkcs11/objects/AttributeSet.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"

#include <algorithm>
#include <cstring>

namespace quillet {

namespace {

template <class T> std::vector<std::uint8_t> bytesOf(const T* values, std::size_t count) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(values);
    return std::vector<std::uint8_t>(first, first + count * sizeof(T));
}

} // namespace

void AttributeSet::setBytes(CK_ATTRIBUTE_TYPE type, std::vector<std::uint8_t> value) {
    values_[type] = std::move(value);
}

void AttributeSet::setText(CK_ATTRIBUTE_TYPE type, std::string_view text) {
    values_[type] = bytesOf(text.data(), text.size());
}

void AttributeSet::setBool(CK_ATTRIBUTE_TYPE type, bool value) {
    const CK_BBOOL flag = value ? CK_TRUE : CK_FALSE;
    values_[type] = bytesOf(&flag, 1);
}

void AttributeSet::setUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
    values_[type] = bytesOf(&value, 1);
}

void AttributeSet::setUlongs(CK_ATTRIBUTE_TYPE type, std::span<const CK_ULONG> values) {
    values_[type] = bytesOf(values.data(), values.size());
}

void AttributeSet::setSensitive(CK_ATTRIBUTE_TYPE type) {
    sensitive_.insert(type);
}

const std::vector<std::uint8_t>* AttributeSet::find(CK_ATTRIBUTE_TYPE type) const {
    const auto found = values_.find(type);
    return found == values_.end() ? nullptr : &found->second;
}

std::size_t AttributeSet::size() const {
    std::size_t total = 0;
    for (const auto& [type, value] : values_) {
        total += value.size();
    }
    return total;
}

veltora::Result<void> AttributeSet::read(std::span<CK_ATTRIBUTE> attributes) const {
    CK_RV failure = CKR_OK;
    for (CK_ATTRIBUTE& attribute : attributes) {
        const auto* value = find(attribute.type);
        if (value == nullptr) {
            attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            failure =
                sensitive_.contains(attribute.type) ? CKR_ATTRIBUTE_SENSITIVE : CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (attribute.pValue == nullptr) {
            attribute.ulValueLen = value->size();
        } else if (attribute.ulValueLen < value->size()) {
            attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            failure = CKR_BUFFER_TOO_SMALL;
        } else {
            if (!value->empty()) {
                std::memcpy(attribute.pValue, value->data(), value->size());
            }
            attribute.ulValueLen = value->size();
        }
    }
    if (failure != CKR_OK) {
        return ckError(failure, "not every attribute could be returned: " + returnValueName(failure));
    }
    return {};
}

bool AttributeSet::matches(std::span<const CK_ATTRIBUTE> search) const {
    return std::all_of(search.begin(), search.end(), [this](const CK_ATTRIBUTE& wanted) {
        const auto* value = find(wanted.type);
        if (value == nullptr || value->size() != wanted.ulValueLen) {
            return false;
        }
        return value->empty() || std::memcmp(value->data(), wanted.pValue, value->size()) == 0;
    });
}

} // namespace quillet
