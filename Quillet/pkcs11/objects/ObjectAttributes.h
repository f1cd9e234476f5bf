#pragma once

#include "Quillet/pkcs11/objects/AttributeSet.h"
#include "Quillet/platform/TKTokenKeychainCertificate.h"
#include "Quillet/platform/TKTokenKeychainKey.h"

#include <string_view>

namespace quillet {

// The attributes of a token's three objects, from its keychain items. All
// carry CKA_ID (the object ID) and CKA_LABEL.
AttributeSet certificateAttributes(const TKTokenKeychainCertificate& certificate,
                                   const TKTokenKeychainKey& key, std::string_view label);
AttributeSet privateKeyAttributes(const TKTokenKeychainCertificate& certificate,
                                  const TKTokenKeychainKey& key, std::string_view label);
AttributeSet publicKeyAttributes(const TKTokenKeychainCertificate& certificate, const TKTokenKeychainKey& key,
                                 std::string_view label);

} // namespace quillet
