#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>

#include <cstring>
#include <memory>
#include <span>

namespace quillet::test {
namespace {

using ::testing::ElementsAre;

veltora::Configuration someConfiguration() {
    veltora::Configuration configuration;
    configuration.apiUrl = "http://127.0.0.1:1/Api";
    configuration.organizationId = "org";
    configuration.apiToken = "token";
    return configuration;
}

std::string text(const CK_UTF8CHAR* field, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(field), size);
}

template <class T> Bytes bytesOf(const T& value) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(&value);
    return Bytes(first, first + sizeof value);
}

template <class T, class Get> Bytes derOf(const T* item, Get encode) {
    unsigned char* der = nullptr;
    const int length = encode(item, &der);
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

// A certificate time as CK_DATE text.
Bytes dateOf(const ASN1_TIME* time) {
    std::tm parts{};
    EXPECT_EQ(ASN1_TIME_to_tm(time, &parts), 1);
    char text[9] = {};
    std::strftime(text, sizeof text, "%Y%m%d", &parts);
    return Bytes(text, text + 8);
}

// SHA-1 of the subjectPublicKey bits: the key hash issuers put in key identifiers.
Bytes publicKeyBitsHash(X509* certificate) {
    const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(certificate);
    const unsigned char* first = ASN1_STRING_get0_data(bits);
    return sha1(Bytes(first, first + ASN1_STRING_length(bits)));
}

using X509Pointer = std::unique_ptr<X509, decltype(&X509_free)>;

X509Pointer parsed(const Bytes& der) {
    const unsigned char* cursor = der.data();
    return X509Pointer(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())), &X509_free);
}

class Pkcs11Slots : public ModuleTest {
protected:
    // Registers the certificate as the only token and opens a session on it.
    CK_SESSION_HANDLE sessionOnOnlyToken(const std::string& instanceID, const Bytes& certificateDer) {
        registerToken(instanceID, certificateDer, someConfiguration());
        const auto present = slots();
        EXPECT_EQ(present.size(), 1u);
        return present.empty() ? CK_INVALID_HANDLE : openSession(present[0]);
    }
};

TEST_F(Pkcs11Slots, RegistrationsBecomeSlotsThatKeepTheirIDs) {
    EXPECT_TRUE(slots().empty());
    registerToken("policy-a", makeCertificate("Signer A"), someConfiguration());
    registerToken("policy-b", makeCertificate("Signer B"), someConfiguration());
    const auto two = slots();
    ASSERT_EQ(two.size(), 2u);

    CK_TOKEN_INFO a;
    CK_TOKEN_INFO b;
    ASSERT_EQ(functions->C_GetTokenInfo(two[0], &a), CKR_OK);
    ASSERT_EQ(functions->C_GetTokenInfo(two[1], &b), CKR_OK);
    EXPECT_EQ(text(a.label, 32), "Signer A" + std::string(24, ' '));
    EXPECT_EQ(text(a.manufacturerID, 32), "Veltora" + std::string(25, ' '));
    EXPECT_EQ(text(a.model, 16), "Quillet" + std::string(9, ' '));
    EXPECT_NE(text(a.serialNumber, 16), text(b.serialNumber, 16));
    EXPECT_EQ(text(a.serialNumber, 16).find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(a.flags & CKF_LOGIN_REQUIRED, 0u);
    EXPECT_NE(a.flags & CKF_TOKEN_INITIALIZED, 0u);

    // A removed registration leaves its slot without a token.
    unregisterToken("policy-a");
    EXPECT_THAT(slots(true), ElementsAre(two[1]));
    EXPECT_EQ(slots(false), two);
    CK_SLOT_INFO slotInfo;
    ASSERT_EQ(functions->C_GetSlotInfo(two[0], &slotInfo), CKR_OK);
    EXPECT_EQ(slotInfo.flags & CKF_TOKEN_PRESENT, 0u);
    EXPECT_EQ(functions->C_GetTokenInfo(two[0], &a), CKR_TOKEN_NOT_PRESENT);
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(functions->C_OpenSession(two[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session),
              CKR_TOKEN_NOT_PRESENT);

    // Registered again it comes back in its old slot; a new one gets a new slot.
    registerToken("policy-a", makeCertificate("Signer A again"), someConfiguration());
    registerToken("policy-c", makeCertificate("Signer C"), someConfiguration());
    const auto three = slots();
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three[0], two[0]);
    EXPECT_EQ(three[1], two[1]);
    EXPECT_NE(three[2], two[0]);
    ASSERT_EQ(functions->C_GetTokenInfo(two[0], &a), CKR_OK);
    EXPECT_EQ(text(a.label, 32), "Signer A again" + std::string(18, ' '));

    // Re-initialising does not touch the store's contents.
    ASSERT_EQ(functions->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(functions->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(slots().size(), 3u);
}

// A listing of the same files, in the same order, may still hold a rewritten
// registration: its new certificate shows at once, in its old slot.
TEST_F(Pkcs11Slots, ARewrittenRegistrationShowsOnTheNextListing) {
    registerToken("policy-a", makeCertificate("Signer A"), someConfiguration());
    registerToken("policy-b", makeCertificate("Signer B"), someConfiguration());
    const auto before = slots();
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(slots(), before); // unchanged

    registerToken("policy-b", makeCertificate("Signer B renewed"), someConfiguration());
    EXPECT_EQ(slots(), before);
    CK_TOKEN_INFO info;
    ASSERT_EQ(functions->C_GetTokenInfo(before[1], &info), CKR_OK);
    EXPECT_EQ(text(info.label, 32), "Signer B renewed" + std::string(16, ' '));
}

TEST_F(Pkcs11Slots, LabelIsCutOnACharacterBoundary) {
    // 31 ASCII bytes, then a two-byte character that does not fit in 32.
    const std::string name = std::string(31, 'x') + "\xc3\xa9" + "tail";
    registerToken("policy-utf8", makeCertificate(name), someConfiguration());
    const auto present = slots();
    ASSERT_EQ(present.size(), 1u);
    CK_TOKEN_INFO info;
    ASSERT_EQ(functions->C_GetTokenInfo(present[0], &info), CKR_OK);
    EXPECT_EQ(text(info.label, 32), std::string(31, 'x') + " ");
    // The objects keep the whole name.
    const CK_SESSION_HANDLE session = openSession(present[0]);
    const Bytes label = attribute(session, findObject(session, CKO_CERTIFICATE), CKA_LABEL);
    EXPECT_EQ(std::string(label.begin(), label.end()), name);
}

// Java's provider refuses a key whose size lies outside the mechanism's range,
// so the range follows each token's own key.
TEST_F(Pkcs11Slots, MechanismInfoCoversTheKeyOfEachToken) {
    registerToken("policy-2048", makeCertificate("Signer 2048", 2048), someConfiguration());
    registerToken("policy-3072", makeCertificate("Signer 3072", 3072), someConfiguration());
    const auto present = slots();
    ASSERT_EQ(present.size(), 2u);
    for (const CK_SLOT_ID slot : present) {
        const CK_SESSION_HANDLE session = openSession(slot);
        const Bytes modulusBits = attribute(session, findObject(session, CKO_PRIVATE_KEY), CKA_MODULUS_BITS);
        ASSERT_EQ(modulusBits.size(), sizeof(CK_ULONG));
        CK_ULONG keyBits = 0;
        std::memcpy(&keyBits, modulusBits.data(), sizeof keyBits);
        CK_MECHANISM_TYPE mechanisms[8];
        CK_ULONG count = 8;
        ASSERT_EQ(functions->C_GetMechanismList(slot, mechanisms, &count), CKR_OK);
        for (const CK_MECHANISM_TYPE mechanism : std::span(mechanisms, count)) {
            CK_MECHANISM_INFO info{};
            ASSERT_EQ(functions->C_GetMechanismInfo(slot, mechanism, &info), CKR_OK) << mechanism;
            EXPECT_LE(info.ulMinKeySize, keyBits) << mechanism;
            EXPECT_GE(info.ulMaxKeySize, keyBits) << mechanism;
            EXPECT_NE(info.flags & CKF_SIGN, 0u) << mechanism;
        }
    }
}

// One token with its three objects, read the way clients read them.
class Pkcs11Objects : public Pkcs11Slots {
protected:
    void SetUp() override {
        Pkcs11Slots::SetUp();
        session = sessionOnOnlyToken(id, der);
        x509 = parsed(der);
        ASSERT_TRUE(x509);
        BIGNUM* modulus = nullptr;
        ASSERT_EQ(EVP_PKEY_get_bn_param(X509_get0_pubkey(x509.get()), "n", &modulus), 1);
        expectedModulus.resize(static_cast<std::size_t>(BN_num_bytes(modulus)));
        BN_bn2bin(modulus, expectedModulus.data());
        BN_free(modulus);
        key = findObject(session, CKO_PRIVATE_KEY);
        certificate = findObject(session, CKO_CERTIFICATE);
        publicKey = findObject(session, CKO_PUBLIC_KEY);
        ASSERT_NE(key, CK_INVALID_HANDLE);
        spki = derOf(X509_get0_pubkey(x509.get()),
                     [](const EVP_PKEY* k, unsigned char** out) { return i2d_PUBKEY(k, out); });
    }

    Bytes idBytes() const { return Bytes(id.begin(), id.end()); }

    std::string id = "policy-objects";
    Bytes der = makeCertificate("Object Signer");
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    X509Pointer x509{nullptr, &X509_free};
    Bytes expectedModulus;
    Bytes spki;
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE, certificate = CK_INVALID_HANDLE, publicKey = CK_INVALID_HANDLE;
};

TEST_F(Pkcs11Objects, SearchesFindEverythingInPartsAndEndOnce) {
    CK_OBJECT_HANDLE found[4];
    CK_ULONG count = 0;
    ASSERT_EQ(functions->C_FindObjectsInit(session, nullptr, 0), CKR_OK);
    EXPECT_EQ(functions->C_FindObjectsInit(session, nullptr, 0), CKR_OPERATION_ACTIVE);
    ASSERT_EQ(functions->C_FindObjects(session, found, 1, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(functions->C_FindObjects(session, found + 1, 4, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(functions->C_FindObjects(session, found, 4, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(functions->C_FindObjectsFinal(session), CKR_OK);
    EXPECT_EQ(functions->C_FindObjectsFinal(session), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(Pkcs11Objects, SearchesByClassAndIDFindOnlyTheMatch) {
    CK_OBJECT_HANDLE found[4];
    CK_ULONG count = 0;
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE byID[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id.data(), id.size()}};
    ASSERT_EQ(functions->C_FindObjectsInit(session, byID, 2), CKR_OK);
    ASSERT_EQ(functions->C_FindObjects(session, found, 4, &count), CKR_OK);
    EXPECT_THAT(std::vector<CK_OBJECT_HANDLE>(found, found + count), ElementsAre(key));
    ASSERT_EQ(functions->C_FindObjectsFinal(session), CKR_OK);
    std::string otherID = "policy-other";
    byID[1] = {CKA_ID, otherID.data(), otherID.size()};
    ASSERT_EQ(functions->C_FindObjectsInit(session, byID, 2), CKR_OK);
    ASSERT_EQ(functions->C_FindObjects(session, found, 4, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(functions->C_FindObjectsFinal(session), CKR_OK);
}

TEST_F(Pkcs11Objects, CertificateCarriesItsDerFields) {
    EXPECT_EQ(attribute(session, certificate, CKA_VALUE), der);
    EXPECT_EQ(attribute(session, certificate, CKA_CERTIFICATE_TYPE), bytesOf(CKC_X_509));
    EXPECT_EQ(attribute(session, certificate, CKA_SUBJECT),
              derOf(X509_get_subject_name(x509.get()),
                    [](const X509_NAME* n, unsigned char** out) { return i2d_X509_NAME(n, out); }));
    EXPECT_EQ(attribute(session, certificate, CKA_ISSUER), attribute(session, certificate, CKA_SUBJECT));
    EXPECT_EQ(attribute(session, certificate, CKA_SERIAL_NUMBER),
              derOf(X509_get0_serialNumber(x509.get()),
                    [](const ASN1_INTEGER* n, unsigned char** out) { return i2d_ASN1_INTEGER(n, out); }));
    EXPECT_EQ(attribute(session, certificate, CKA_ID), idBytes());
    EXPECT_EQ(attribute(session, certificate, CKA_START_DATE), dateOf(X509_get0_notBefore(x509.get())));
    EXPECT_EQ(attribute(session, certificate, CKA_END_DATE), dateOf(X509_get0_notAfter(x509.get())));
    const Bytes certificateHash = sha1(der);
    EXPECT_EQ(attribute(session, certificate, CKA_CHECK_VALUE),
              Bytes(certificateHash.begin(), certificateHash.begin() + 3));
    EXPECT_EQ(attribute(session, certificate, CKA_HASH_OF_SUBJECT_PUBLIC_KEY), publicKeyBitsHash(x509.get()));
    EXPECT_EQ(attribute(session, certificate, CKA_HASH_OF_ISSUER_PUBLIC_KEY), Bytes{}); // no key identifier
    EXPECT_EQ(attribute(session, certificate, CKA_URL), Bytes{});
    EXPECT_EQ(attribute(session, certificate, CKA_JAVA_MIDP_SECURITY_DOMAIN), bytesOf(CK_ULONG{0}));
}

TEST_F(Pkcs11Objects, PrivateKeySignsAndNeverShowsItself) {
    EXPECT_EQ(attribute(session, key, CKA_KEY_TYPE), bytesOf(CKK_RSA));
    EXPECT_EQ(attribute(session, key, CKA_SIGN), Bytes{CK_TRUE});
    EXPECT_EQ(attribute(session, key, CKA_SENSITIVE), Bytes{CK_TRUE});
    EXPECT_EQ(attribute(session, key, CKA_EXTRACTABLE), Bytes{CK_FALSE});
    EXPECT_EQ(attribute(session, key, CKA_ALWAYS_AUTHENTICATE), Bytes{CK_FALSE});
    EXPECT_EQ(attribute(session, key, CKA_PRIVATE), Bytes{CK_FALSE});
    // No leading zero on the modulus.
    EXPECT_EQ(attribute(session, key, CKA_MODULUS), expectedModulus);
    EXPECT_NE(expectedModulus.front(), 0);
    EXPECT_EQ(attribute(session, key, CKA_MODULUS_BITS), bytesOf(CK_ULONG{2048}));
    EXPECT_EQ(attribute(session, key, CKA_PUBLIC_EXPONENT), (Bytes{0x01, 0x00, 0x01}));
    EXPECT_EQ(attribute(session, key, CKA_PUBLIC_KEY_INFO), spki);
    const CK_MECHANISM_TYPE allowed[] = {CKM_RSA_PKCS, CKM_SHA256_RSA_PKCS, CKM_SHA1_RSA_PKCS};
    EXPECT_EQ(attribute(session, key, CKA_ALLOWED_MECHANISMS), bytesOf(allowed));
    EXPECT_EQ(attribute(session, key, CKA_ID), idBytes());
}

TEST_F(Pkcs11Objects, PublicKeyIsTheSameKeyInTheOpen) {
    EXPECT_EQ(attribute(session, publicKey, CKA_KEY_TYPE), bytesOf(CKK_RSA));
    EXPECT_EQ(attribute(session, publicKey, CKA_MODULUS), expectedModulus);
    EXPECT_EQ(attribute(session, publicKey, CKA_PUBLIC_EXPONENT), (Bytes{0x01, 0x00, 0x01}));
    EXPECT_EQ(attribute(session, publicKey, CKA_PUBLIC_KEY_INFO), spki);
    EXPECT_EQ(attribute(session, publicKey, CKA_SUBJECT), attribute(session, certificate, CKA_SUBJECT));
    EXPECT_EQ(attribute(session, publicKey, CKA_ID), idBytes());
    EXPECT_EQ(attribute(session, publicKey, CKA_PRIVATE), Bytes{CK_FALSE});
    EXPECT_EQ(attribute(session, publicKey, CKA_LABEL), attribute(session, key, CKA_LABEL));
}

TEST_F(Pkcs11Objects, SeveralAttributesAtOnceFillTheGoodOnesAndMarkTheOthers) {
    CK_BYTE sign = 0xff;
    CK_BYTE secret[512];
    CK_BYTE missing[8];
    CK_ATTRIBUTE mixed[] = {
        {CKA_SIGN, &sign, 1}, {CKA_PRIVATE_EXPONENT, secret, sizeof secret}, {CKA_MODULUS, nullptr, 0}};
    EXPECT_EQ(functions->C_GetAttributeValue(session, key, mixed, 3), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(sign, CK_TRUE);
    EXPECT_EQ(mixed[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(mixed[2].ulValueLen, expectedModulus.size());
    CK_ATTRIBUTE unknown[] = {{CKA_PRIME_1, missing, sizeof missing}, {CKA_SIGN, &sign, 1}};
    EXPECT_EQ(functions->C_GetAttributeValue(session, certificate, unknown, 2), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(unknown[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(unknown[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

TEST_F(Pkcs11Objects, LoginNeedsNoPinAndChangesTheSessionState) {
    CK_SESSION_INFO info;
    ASSERT_EQ(functions->C_GetSessionInfo(session, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(functions->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);
    ASSERT_EQ(functions->C_GetSessionInfo(session, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(functions->C_Logout(session), CKR_OK);
}

// A self-signed certificate with an authority key identifier names its own key.
TEST_F(Pkcs11Slots, IssuerKeyHashIsTheAuthorityKeyIdentifier) {
    const Bytes der = makeCertificate("Identified Signer", 2048, true);
    const CK_SESSION_HANDLE session = sessionOnOnlyToken("policy-identified", der);
    const CK_OBJECT_HANDLE certificate = findObject(session, CKO_CERTIFICATE);
    const X509Pointer x509 = parsed(der);
    ASSERT_TRUE(x509);
    const Bytes keyHash = publicKeyBitsHash(x509.get());
    EXPECT_EQ(attribute(session, certificate, CKA_HASH_OF_ISSUER_PUBLIC_KEY), keyHash);
    EXPECT_EQ(attribute(session, certificate, CKA_HASH_OF_SUBJECT_PUBLIC_KEY), keyHash);
}

TEST_F(Pkcs11Slots, ObjectSizeIsTheSumOfItsValues) {
    const Bytes der = makeCertificate("Sized Signer");
    const CK_SESSION_HANDLE session = sessionOnOnlyToken("policy-sized", der);
    const CK_OBJECT_HANDLE certificate = findObject(session, CKO_CERTIFICATE);
    const CK_OBJECT_HANDLE publicKey = findObject(session, CKO_PUBLIC_KEY);
    const CK_OBJECT_HANDLE privateKey = findObject(session, CKO_PRIVATE_KEY);
    CK_ULONG certificateSize = 0;
    CK_ULONG publicSize = 0;
    CK_ULONG privateSize = 0;
    ASSERT_EQ(functions->C_GetObjectSize(session, certificate, &certificateSize), CKR_OK);
    ASSERT_EQ(functions->C_GetObjectSize(session, publicKey, &publicSize), CKR_OK);
    ASSERT_EQ(functions->C_GetObjectSize(session, privateKey, &privateSize), CKR_OK);
    // Each holds its big values and a little more; the private key's secrets count for nothing.
    const std::size_t names = attribute(session, certificate, CKA_SUBJECT).size() +
                              attribute(session, certificate, CKA_ISSUER).size();
    EXPECT_GT(certificateSize, der.size() + names);
    EXPECT_LT(certificateSize, 2 * der.size());
    const std::size_t keyValues = attribute(session, publicKey, CKA_MODULUS).size() +
                                  attribute(session, publicKey, CKA_PUBLIC_KEY_INFO).size() + names / 2;
    EXPECT_GT(publicSize, keyValues);
    EXPECT_LT(publicSize, keyValues + 200);
    EXPECT_GT(privateSize, keyValues);
    EXPECT_LT(privateSize, keyValues + 200);

    EXPECT_EQ(functions->C_GetObjectSize(session, certificate, nullptr), CKR_ARGUMENTS_BAD);
    CK_ULONG size = 0;
    EXPECT_EQ(functions->C_GetObjectSize(session, certificate + 100, &size), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(functions->C_GetObjectSize(session + 100, certificate, &size), CKR_SESSION_HANDLE_INVALID);
}

// The randomness is this process's OpenSSL generator, not the service's.
TEST_F(Pkcs11Slots, TokenHandsOutRandomBytes) {
    const CK_SESSION_HANDLE session = sessionOnOnlyToken("policy-random", makeCertificate("Random Signer"));
    CK_TOKEN_INFO info;
    ASSERT_EQ(functions->C_GetTokenInfo(slots().front(), &info), CKR_OK);
    EXPECT_NE(info.flags & CKF_RNG, 0u);

    Bytes first(64, 0);
    Bytes second(64, 0);
    ASSERT_EQ(functions->C_GenerateRandom(session, first.data(), first.size()), CKR_OK);
    ASSERT_EQ(functions->C_GenerateRandom(session, second.data(), second.size()), CKR_OK);
    EXPECT_NE(first, Bytes(64, 0));
    EXPECT_NE(first, second);
    EXPECT_EQ(functions->C_GenerateRandom(session, nullptr, 0), CKR_OK);
    EXPECT_EQ(functions->C_GenerateRandom(session, nullptr, 8), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(functions->C_GenerateRandom(session + 100, first.data(), 8), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(functions->C_SeedRandom(session, first.data(), 8), CKR_RANDOM_SEED_NOT_SUPPORTED);
    EXPECT_EQ(functions->C_SeedRandom(session + 100, first.data(), 8), CKR_SESSION_HANDLE_INVALID);
}

} // namespace
} // namespace quillet::test
