#include "tests/pkcs11/Pkcs11TestSupport.h"

#include "Quillet/pkcs11/FunctionList.h"
#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <sys/wait.h>

namespace quillet::test {

namespace {

std::shared_ptr<TKTokenDriverConfiguration> quilletDriver() {
    auto drivers = TKTokenDriverConfiguration::driverConfigurations();
    const auto driver = drivers.find(TKTokenDriverConfiguration::quilletClassID);
    if (driver == drivers.end()) {
        throw std::runtime_error("the token driver configuration is not visible");
    }
    return driver->second;
}

EVP_PKEY* sharedKey(int bits) {
    static std::mutex mutex;
    static std::map<int, std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>> keys;
    std::lock_guard lock(mutex);
    auto found = keys.find(bits);
    if (found == keys.end()) {
        found = keys.emplace(bits, std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>(
                                       EVP_RSA_gen(static_cast<unsigned>(bits)), &EVP_PKEY_free))
                    .first;
    }
    return found->second.get();
}

Bytes digestOf(const Bytes& data, const EVP_MD* md) {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, md, nullptr);
    digest.resize(length);
    return digest;
}

Bytes concatenated(Bytes prefix, const Bytes& digest) {
    prefix.insert(prefix.end(), digest.begin(), digest.end());
    return prefix;
}

Bytes unbase64(const std::string& text) {
    Bytes bytes(text.size());
    const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    if (length < 0) {
        return {};
    }
    const auto padding = text.ends_with("==") ? 2u : text.ends_with("=") ? 1u : 0u;
    bytes.resize(static_cast<std::size_t>(length) - padding);
    return bytes;
}

} // namespace

std::string sanitizerEnvironment() {
    const std::string command = "ldd " + modulePath() + " | awk '/libasan/ {print $3}'";
    const std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
    std::array<char, 512> line{};
    if (!pipe || std::fgets(line.data(), line.size(), pipe.get()) == nullptr) {
        return "";
    }
    std::string runtime(line.data());
    runtime.erase(runtime.find_last_not_of("\r\n ") + 1);
    return "LD_PRELOAD=" + runtime + " ASAN_OPTIONS=detect_leaks=0 ";
}

std::string pkcs11Engine() {
    const auto version = runTool("openssl version -e");
    const auto start = version.output.find('"');
    const auto end = version.output.rfind('"');
    return start == std::string::npos || end <= start
               ? std::string()
               : version.output.substr(start + 1, end - start - 1) + "/pkcs11.so";
}

std::string modulePath() {
    return std::string(VELTORA_BINARY_DIR) + "/lib/quillet-pkcs11.so";
}

ToolResult runTool(const std::string& command) {
    return runCommand("env " + sanitizerEnvironment() + command);
}

ToolResult runCommand(const std::string& command) {
    const std::string bounded = "timeout 60 " + command + " 2>&1";
    ToolResult result;
    FILE* pipe = popen(bounded.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 4096> chunk{};
    std::size_t read = 0;
    while ((read = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
        result.output.append(chunk.data(), read);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string p11KitVariable(const std::string& name) {
    auto value = runCommand("pkg-config --variable=" + name + " p11-kit-1").output;
    value.erase(value.find_last_not_of('\n') + 1);
    return value;
}

TemporaryStore::TemporaryStore() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillet-store-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary store");
    }
    path_ = pattern;
    setenv("VELTORA_TOKEN_STORE", path_.c_str(), 1);
}

TemporaryStore::~TemporaryStore() {
    unsetenv("VELTORA_TOKEN_STORE");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void registerToken(const std::string& instanceID, const Bytes& certificateDer,
                   const veltora::Configuration& configuration) {
    auto added = quilletDriver()->addTokenConfigurationForTokenInstanceID(instanceID);
    if (!added) {
        throw std::runtime_error("cannot add a registration: " + added.error().description);
    }
    const std::string json = configuration.toJson();
    auto certificate = TKTokenKeychainCertificate::make(certificateDer, instanceID);
    auto key = TKTokenKeychainKey::make(certificateDer, instanceID);
    if (!certificate || !key) {
        throw std::runtime_error("cannot make keychain items of the certificate");
    }
    if (!added.value()->setConfigurationData(Bytes(json.begin(), json.end())) ||
        !added.value()->setKeychainItems(std::move(certificate).value(), std::move(key).value())) {
        throw std::runtime_error("cannot write the registration");
    }
}

void unregisterToken(const std::string& instanceID) {
    if (!quilletDriver()->removeTokenConfigurationForTokenInstanceID(instanceID)) {
        throw std::runtime_error("cannot remove the registration");
    }
}

Bytes makeCertificate(const std::string& commonName, int keyBits, bool withKeyIdentifiers) {
    EVP_PKEY* key = sharedKey(keyBits);
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), &X509_free);
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 4242);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    X509_set_pubkey(certificate.get(), key);
    if (withKeyIdentifiers) {
        X509V3_CTX context;
        X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
        for (const auto& [nid, value] : {std::pair{NID_subject_key_identifier, "hash"},
                                         std::pair{NID_authority_key_identifier, "keyid:always"}}) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
            X509_add_ext(certificate.get(), extension, -1);
            X509_EXTENSION_free(extension);
        }
    }
    X509_sign(certificate.get(), key, EVP_sha256());
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate.get(), &der);
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

bool writeCertificatePem(const Bytes& certificateDer, const std::string& path) {
    const unsigned char* cursor = certificateDer.data();
    const std::unique_ptr<X509, decltype(&X509_free)> x509(
        d2i_X509(nullptr, &cursor, static_cast<long>(certificateDer.size())), &X509_free);
    const std::unique_ptr<FILE, decltype(&fclose)> pem(std::fopen(path.c_str(), "w"), &fclose);
    return x509 && pem && PEM_write_X509(pem.get(), x509.get()) == 1;
}

veltora::Configuration emulatorConfiguration(const veltora::test::EmulatorProcess& emulator) {
    veltora::Configuration configuration;
    configuration.apiUrl = emulator.baseUrl();
    configuration.organizationId = veltora::test::EmulatorProcess::kOrganization;
    configuration.apiToken = veltora::test::EmulatorProcess::kApiToken;
    configuration.timeouts = veltora::TimeoutsConfiguration{2.0f, 0.001f, 2};
    return configuration;
}

Bytes policyCertificate(const veltora::test::EmulatorProcess& emulator, const std::string& policyID) {
    const veltora::VeltoraClient client(emulator.baseUrl(), veltora::test::EmulatorProcess::kOrganization,
                                        veltora::test::EmulatorProcess::kApiToken,
                                        veltora::TimeoutsConfiguration{});
    const auto policies = client.mySigningPolicies(std::nullopt, std::nullopt);
    if (!policies) {
        throw std::runtime_error("cannot read the policies: " + policies.error().description);
    }
    for (const auto& policy : policies.value().at("signingPolicies")) {
        if (policy.at("signingPolicyId") == policyID) {
            return unbase64(policy.at("certificateBytes").get<std::string>());
        }
    }
    throw std::runtime_error("no policy " + policyID);
}

Bytes sha256(const Bytes& data) {
    return digestOf(data, EVP_sha256());
}

Bytes sha1(const Bytes& data) {
    return digestOf(data, EVP_sha1());
}

Bytes sha256DigestInfo(const Bytes& digest) {
    return concatenated({0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                         0x01, 0x05, 0x00, 0x04, 0x20},
                        digest);
}

Bytes sha1DigestInfo(const Bytes& digest) {
    return concatenated(
        {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}, digest);
}

bool verifiesDigest(const Bytes& certificateDer, const Bytes& digest, bool sha256Digest,
                    const Bytes& signature) {
    const unsigned char* bytes = certificateDer.data();
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        d2i_X509(nullptr, &bytes, static_cast<long>(certificateDer.size())), &X509_free);
    if (!certificate) {
        return false;
    }
    const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new(X509_get0_pubkey(certificate.get()), nullptr), &EVP_PKEY_CTX_free);
    return context && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), sha256Digest ? EVP_sha256() : EVP_sha1()) == 1 &&
           EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()) ==
               1;
}

void ModuleTest::SetUp() {
    functions = functionList();
    ASSERT_EQ(functions->C_Initialize(nullptr), CKR_OK);
}

void ModuleTest::TearDown() {
    functions->C_Finalize(nullptr);
}

std::vector<CK_SLOT_ID> ModuleTest::slots(bool tokenPresent) {
    CK_ULONG count = 0;
    EXPECT_EQ(functions->C_GetSlotList(tokenPresent, nullptr, &count), CKR_OK);
    std::vector<CK_SLOT_ID> list(count);
    EXPECT_EQ(functions->C_GetSlotList(tokenPresent, list.data(), &count), CKR_OK);
    list.resize(count);
    return list;
}

CK_SESSION_HANDLE ModuleTest::openSession(CK_SLOT_ID slot) {
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    EXPECT_EQ(functions->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    return session;
}

CK_OBJECT_HANDLE ModuleTest::findObject(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass) {
    CK_ATTRIBUTE search{CKA_CLASS, &objectClass, sizeof objectClass};
    CK_OBJECT_HANDLE found[2] = {CK_INVALID_HANDLE, CK_INVALID_HANDLE};
    CK_ULONG count = 0;
    EXPECT_EQ(functions->C_FindObjectsInit(session, &search, 1), CKR_OK);
    EXPECT_EQ(functions->C_FindObjects(session, found, 2, &count), CKR_OK);
    EXPECT_EQ(functions->C_FindObjectsFinal(session), CKR_OK);
    return count == 1 ? found[0] : CK_INVALID_HANDLE;
}

Bytes ModuleTest::attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query{type, nullptr, 0};
    if (functions->C_GetAttributeValue(session, object, &query, 1) != CKR_OK) {
        return {};
    }
    Bytes value(query.ulValueLen);
    query.pValue = value.data();
    EXPECT_EQ(functions->C_GetAttributeValue(session, object, &query, 1), CKR_OK);
    return value;
}

CK_RV ModuleTest::sign(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism, const Bytes& data,
                       Bytes& signature) {
    signature.clear();
    CK_MECHANISM chosen{mechanism, nullptr, 0};
    if (const CK_RV rv = functions->C_SignInit(session, &chosen, findObject(session, CKO_PRIVATE_KEY));
        rv != CKR_OK) {
        return rv;
    }
    auto* input = const_cast<CK_BYTE*>(data.data());
    CK_ULONG length = 0;
    if (const CK_RV rv = functions->C_Sign(session, input, data.size(), nullptr, &length); rv != CKR_OK) {
        return rv;
    }
    signature.resize(length);
    const CK_RV rv = functions->C_Sign(session, input, data.size(), signature.data(), &length);
    signature.resize(rv == CKR_OK ? length : 0);
    return rv;
}

} // namespace quillet::test
