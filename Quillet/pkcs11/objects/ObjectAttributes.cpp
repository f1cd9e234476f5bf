#include "Quillet/pkcs11/objects/ObjectAttributes.h"

#include "Quillet/pkcs11/operation/Mechanisms.h"
#include "Quillet/platform/CryptoContext.h"

#include <algorithm>
#include <vector>

namespace quillet {

namespace {

// Read-only token objects that need no login to use.
AttributeSet storageAttributes(CK_OBJECT_CLASS objectClass, std::string_view objectID,
                               std::string_view label) {
    AttributeSet attributes;
    attributes.setUlong(CKA_CLASS, objectClass);
    attributes.setBool(CKA_TOKEN, true);
    attributes.setBool(CKA_PRIVATE, false);
    attributes.setBool(CKA_MODIFIABLE, false);
    attributes.setBool(CKA_COPYABLE, false);
    attributes.setBool(CKA_DESTROYABLE, false);
    attributes.setText(CKA_LABEL, label);
    attributes.setText(CKA_ID, objectID);
    return attributes;
}

// What a private and a public RSA key have in common.
AttributeSet rsaKeyAttributes(CK_OBJECT_CLASS objectClass, const TKTokenKeychainCertificate& certificate,
                              const TKTokenKeychainKey& key, std::string_view label) {
    AttributeSet attributes = storageAttributes(objectClass, key.objectID(), label);
    attributes.setUlong(CKA_KEY_TYPE, CKK_RSA);
    attributes.setBytes(CKA_SUBJECT, certificate.subject());
    attributes.setBytes(CKA_START_DATE, {});
    attributes.setBytes(CKA_END_DATE, {});
    attributes.setBool(CKA_DERIVE, false);
    attributes.setBool(CKA_LOCAL, false);
    attributes.setUlong(CKA_KEY_GEN_MECHANISM, CK_UNAVAILABLE_INFORMATION);
    attributes.setBytes(CKA_MODULUS, key.modulus());
    attributes.setUlong(CKA_MODULUS_BITS, key.keySizeInBits());
    attributes.setBytes(CKA_PUBLIC_EXPONENT, key.publicExponent());
    attributes.setBytes(CKA_PUBLIC_KEY_INFO, key.subjectPublicKeyInfo());
    return attributes;
}

} // namespace

AttributeSet certificateAttributes(const TKTokenKeychainCertificate& certificate,
                                   const TKTokenKeychainKey& key, std::string_view label) {
    AttributeSet attributes = storageAttributes(CKO_CERTIFICATE, certificate.objectID(), label);
    attributes.setUlong(CKA_CERTIFICATE_TYPE, CKC_X_509);
    attributes.setBool(CKA_TRUSTED, false);
    attributes.setUlong(CKA_CERTIFICATE_CATEGORY, 1); // token user
    attributes.setBytes(CKA_VALUE, certificate.data());
    attributes.setBytes(CKA_SUBJECT, certificate.subject());
    attributes.setBytes(CKA_ISSUER, certificate.issuer());
    attributes.setBytes(CKA_SERIAL_NUMBER, certificate.serialNumber());
    attributes.setText(CKA_START_DATE, certificate.notBefore());
    attributes.setText(CKA_END_DATE, certificate.notAfter());
    constexpr std::size_t kCheckValueLength = 3;
    std::vector<std::uint8_t> checkValue = CryptoContext::sha1(certificate.data());
    checkValue.resize(std::min(checkValue.size(), kCheckValueLength));
    attributes.setBytes(CKA_CHECK_VALUE, std::move(checkValue));
    attributes.setBytes(CKA_HASH_OF_SUBJECT_PUBLIC_KEY,
                        key.publicKeyHash().value_or(std::vector<std::uint8_t>{}));
    // Issuers name their key by the SHA-1 of its bits, which the identifier then is.
    attributes.setBytes(CKA_HASH_OF_ISSUER_PUBLIC_KEY, certificate.authorityKeyIdentifier());
    attributes.setText(CKA_URL, "");
    attributes.setUlong(CKA_JAVA_MIDP_SECURITY_DOMAIN, 0); // unspecified
    return attributes;
}

AttributeSet privateKeyAttributes(const TKTokenKeychainCertificate& certificate,
                                  const TKTokenKeychainKey& key, std::string_view label) {
    AttributeSet attributes = rsaKeyAttributes(CKO_PRIVATE_KEY, certificate, key, label);
    attributes.setBool(CKA_SIGN, true);
    attributes.setUlongs(CKA_ALLOWED_MECHANISMS, supportedMechanisms());
    attributes.setBool(CKA_SIGN_RECOVER, false);
    attributes.setBool(CKA_DECRYPT, false);
    attributes.setBool(CKA_UNWRAP, false);
    attributes.setBool(CKA_SENSITIVE, true);
    attributes.setBool(CKA_ALWAYS_SENSITIVE, true);
    attributes.setBool(CKA_EXTRACTABLE, false);
    attributes.setBool(CKA_NEVER_EXTRACTABLE, true);
    attributes.setBool(CKA_WRAP_WITH_TRUSTED, false);
    // True would make clients ask for a PIN before every signature.
    attributes.setBool(CKA_ALWAYS_AUTHENTICATE, false);
    for (CK_ATTRIBUTE_TYPE secret : {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1,
                                     CKA_EXPONENT_2, CKA_COEFFICIENT, CKA_VALUE}) {
        attributes.setSensitive(secret);
    }
    return attributes;
}

AttributeSet publicKeyAttributes(const TKTokenKeychainCertificate& certificate, const TKTokenKeychainKey& key,
                                 std::string_view label) {
    AttributeSet attributes = rsaKeyAttributes(CKO_PUBLIC_KEY, certificate, key, label);
    // Both run locally on the key's numbers.
    attributes.setBool(CKA_VERIFY, true);
    attributes.setBool(CKA_VERIFY_RECOVER, false);
    attributes.setBool(CKA_ENCRYPT, true);
    attributes.setBool(CKA_WRAP, false);
    attributes.setBool(CKA_TRUSTED, false);
    return attributes;
}

} // namespace quillet
