#pragma once

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "Quillet/pkcs11/objects/AttributeSet.h"
#include "Quillet/pkcs11/objects/ObjectHandles.h"
#include "Quillet/platform/TKTokenConfiguration.h"
#include "Quillet/token/Token.h"
#include "Quillet/token/TokenDriver.h"

#include <array>
#include <memory>
#include <string>

namespace quillet {

// One registration as a PKCS#11 token: its info texts, its three objects and
// the token object that opens sessions. Immutable once made.
class TokenEntry {
public:
    // Nothing when the registration has no usable certificate and key item yet.
    // The driver makes the token object only for a usable registration.
    static std::shared_ptr<const TokenEntry>
    make(CK_SLOT_ID slotID, const TKTokenConfiguration& configuration, TokenDriver& driver);

    CK_SLOT_ID slotID() const { return slotID_; }
    const std::string& instanceID() const { return instanceID_; }
    const std::string& label() const { return label_; }   // at most 32 bytes
    const std::string& serial() const { return serial_; } // 16 hexadecimal digits
    CK_ULONG keySizeInBits() const { return keySizeInBits_; }
    std::size_t signatureLength() const { return keyItem_.modulus().size(); }
    // The key the token presents: what its signatures must verify with.
    const TKTokenKeychainKey& keyItem() const { return keyItem_; }
    const std::shared_ptr<Token>& token() const { return token_; }
    // The certificate DER this entry was made from, to tell a changed registration.
    const std::vector<std::uint8_t>& certificateData() const { return certificateData_; }

    const AttributeSet& attributes(ObjectKind kind) const;

private:
    TokenEntry() = default;

    CK_SLOT_ID slotID_ = 0;
    std::string instanceID_;
    std::string label_;
    std::string serial_;
    CK_ULONG keySizeInBits_ = 0;
    TKTokenKeychainKey keyItem_;
    std::shared_ptr<Token> token_;
    std::vector<std::uint8_t> certificateData_;
    std::array<AttributeSet, 3> objects_;
};

} // namespace quillet
