#include "Quillet/pkcs11/objects/TokenEntry.h"

#include "Quillet/pkcs11/objects/ObjectAttributes.h"
#include "Quillet/pkcs11/objects/TokenSerial.h"
#include "VeltoraCryptoTokenKit/base/Utf8.h"

namespace quillet {

namespace {

constexpr std::size_t kLabelFieldLength = 32;

std::size_t indexOf(ObjectKind kind) {
    return static_cast<std::size_t>(kind) - 1;
}

} // namespace

std::shared_ptr<const TokenEntry>
TokenEntry::make(CK_SLOT_ID slotID, const TKTokenConfiguration& configuration, TokenDriver& driver) {
    const auto& certificate = configuration.certificateItem();
    const auto& key = configuration.keyItem();
    if (!certificate || !key || key->modulus().empty()) {
        return nullptr;
    }
    std::shared_ptr<TokenEntry> entry(new TokenEntry());
    entry->slotID_ = slotID;
    entry->instanceID_ = configuration.instanceID();
    const std::string objectLabel = certificate->label().value_or(configuration.instanceID());
    entry->label_ = veltora::utf8Prefix(objectLabel, kLabelFieldLength);
    entry->serial_ = tokenSerial(configuration.instanceID());
    entry->keySizeInBits_ = key->keySizeInBits();
    entry->keyItem_ = *key;
    entry->token_ = driver.tokenForConfiguration(configuration);
    entry->certificateData_ = certificate->data();
    entry->objects_[indexOf(ObjectKind::certificate)] =
        certificateAttributes(*certificate, *key, objectLabel);
    entry->objects_[indexOf(ObjectKind::privateKey)] = privateKeyAttributes(*certificate, *key, objectLabel);
    entry->objects_[indexOf(ObjectKind::publicKey)] = publicKeyAttributes(*certificate, *key, objectLabel);
    return entry;
}

const AttributeSet& TokenEntry::attributes(ObjectKind kind) const {
    return objects_[indexOf(kind)];
}

} // namespace quillet
