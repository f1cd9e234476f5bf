#include "Quillet/platform/ByteText.h"
#include "Quillet/platform/CryptoContext.h"
#include "Quillet/platform/TKError.h"
#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "Quillet/token/QuilletError.h"
#include "Quillet/token/Token.h"
#include "Quillet/token/TokenDriver.h"
#include "Quillet/token/TokenSession.h"
#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"
#include "VeltoraCryptoTokenKit/config/Configuration.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "tests/support/EmulatorProcess.h"
#include "tests/support/RecordingLogger.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace quillet {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using veltora::test::EmulatorProcess;

const TKTokenKeyAlgorithm sha256Digest{std::string(kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256)};
const TKTokenKeyAlgorithm sha1Digest{std::string(kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA1)};

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

bool verifies(const Bytes& certificateDer, const Bytes& digest, const EVP_MD* md, const Bytes& signature) {
    const unsigned char* cursor = certificateDer.data();
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        d2i_X509(nullptr, &cursor, static_cast<long>(certificateDer.size())), X509_free);
    if (!certificate) {
        return false;
    }
    const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new(X509_get0_pubkey(certificate.get()), nullptr), EVP_PKEY_CTX_free);
    return context && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), md) == 1 &&
           EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()) ==
               1;
}

veltora::Configuration configurationFor(const EmulatorProcess& emulator, const std::string& organization,
                                        const std::string& apiToken) {
    veltora::Configuration configuration;
    configuration.apiUrl = emulator.baseUrl();
    configuration.organizationId = organization;
    configuration.apiToken = apiToken;
    configuration.timeouts.httpRequest = 2.0F;
    configuration.timeouts.firstRetryDelay = 0.01F;
    configuration.timeouts.retryCount = 2;
    return configuration;
}

// The signing tests share one store and one emulator; each test registers what it signs with.
class TokenSessionSigning : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        store = new fs::path(fs::temp_directory_path() / ("quillet-signing-" + std::to_string(getpid())));
        fs::remove_all(*store);
        setenv("VELTORA_TOKEN_STORE", store->c_str(), 1);
        emulator = new EmulatorProcess({"--generate", "1", "--key-bits", "1024"});
        certificate = new Bytes(policyCertificate(*emulator, EmulatorProcess::kOrganization,
                                                  EmulatorProcess::kApiToken, "policy-id-1"));
    }
    static void TearDownTestSuite() {
        delete certificate;
        delete emulator;
        unsetenv("VELTORA_TOKEN_STORE");
        fs::remove_all(*store);
        delete store;
    }
    void SetUp() override {
        recorder = std::make_shared<veltora::test::RecordingLogger>();
        veltora::DDLog::sharedInstance().addLogger(recorder, veltora::DDLogLevel::all);
        emulator->clearRequests();
        session = std::make_shared<TokenDriver>()->tokenForConfiguration({})->createSession();
    }

    static Bytes policyCertificate(const EmulatorProcess& service, const std::string& organization,
                                   const std::string& apiToken, const std::string& policyID) {
        const veltora::VeltoraClient client(service.baseUrl(), organization, apiToken, {});
        const auto policies = client.mySigningPolicies(std::nullopt, std::nullopt);
        EXPECT_TRUE(policies) << policies.error().description;
        for (const auto& policy : policies.value().at("signingPolicies")) {
            if (policy.at("signingPolicyId") == policyID) {
                return base64DecodedIgnoringUnknownCharacters(
                           policy.at("certificateBytes").get<std::string>())
                    .value();
            }
        }
        ADD_FAILURE() << "no policy " << policyID;
        return {};
    }

    // Registers the way the host does; data absent leaves the registration without configuration data.
    static void registerToken(const std::string& id, const std::optional<std::string>& data,
                              const Bytes& der = *certificate) {
        const auto drivers = TKTokenDriverConfiguration::driverConfigurations();
        ASSERT_EQ(drivers.count(TKTokenDriverConfiguration::quilletClassID), 1u) << "the module is not built";
        auto added = drivers.begin()->second->addTokenConfigurationForTokenInstanceID(id);
        ASSERT_TRUE(added) << added.error().description;
        if (data) {
            ASSERT_TRUE(added.value()->setConfigurationData(bytesOf(*data)));
        }
        ASSERT_TRUE(added.value()->setKeychainItems(TKTokenKeychainCertificate::make(der, id).value(),
                                                    TKTokenKeychainKey::make(der, id).value()));
    }

    std::vector<std::string> linesStartingWith(const std::string& prefix) const {
        veltora::DDLog::sharedInstance().flushLog();
        std::vector<std::string> found;
        for (const auto& line : recorder->lines()) {
            if (line.rfind(prefix, 0) == 0) {
                found.push_back(line);
            }
        }
        return found;
    }

    static inline fs::path* store = nullptr;
    static inline EmulatorProcess* emulator = nullptr;
    static inline Bytes* certificate = nullptr;
    std::shared_ptr<veltora::test::RecordingLogger> recorder;
    std::shared_ptr<TokenSession> session;
};

TEST_F(TokenSessionSigning, DigestsAreSentUnchangedWithTheirOidAndSignaturesVerify) {
    registerToken(
        "policy-id-1",
        configurationFor(*emulator, EmulatorProcess::kOrganization, EmulatorProcess::kApiToken).toJson());
    const Bytes sha256 = CryptoContext::sha256(bytesOf("hello"));
    const Bytes sha1 = CryptoContext::sha1(bytesOf("hello"));

    const auto first = session->signData(sha256, "policy-id-1", sha256Digest);
    ASSERT_TRUE(first) << first.error().description;
    EXPECT_TRUE(verifies(*certificate, sha256, EVP_sha256(), first.value()));
    const auto second = session->signData(sha1, "policy-id-1", sha1Digest);
    ASSERT_TRUE(second) << second.error().description;
    EXPECT_TRUE(verifies(*certificate, sha1, EVP_sha1(), second.value()));

    emulator->script("signing", "signature-with-line-breaks");
    const auto broken = session->signData(sha256, "policy-id-1", sha256Digest);
    ASSERT_TRUE(broken) << broken.error().description;
    EXPECT_EQ(broken.value(), first.value());

    const auto requests = emulator->requests();
    ASSERT_EQ(requests.size(), 3u);
    const std::string body256 = EmulatorProcess::body(requests[0]);
    const std::string body1 = EmulatorProcess::body(requests[1]);
    EXPECT_NE(body256.find("\"Base64EncodedHash\":\"" + base64Encoded(sha256) + "\""), std::string::npos);
    EXPECT_NE(body256.find("\"RsaHashAlgorithm\":\"2.16.840.1.101.3.4.2.1\""), std::string::npos);
    EXPECT_NE(body1.find("\"Base64EncodedHash\":\"" + base64Encoded(sha1) + "\""), std::string::npos);
    EXPECT_NE(body1.find("\"RsaHashAlgorithm\":\"1.3.14.3.2.26\""), std::string::npos);
    EXPECT_NE(body1.find("name=\"SigningPolicyId\"\r\n\r\npolicy-id-1\r\n"), std::string::npos);
    EXPECT_EQ(linesStartingWith("TokenSession successfully signed data with signature from Veltora").size(),
              3u);
    EXPECT_EQ(linesStartingWith("dataToSign: " + hexDescription(sha1)).size(), 1u);
}

TEST_F(TokenSessionSigning, EachTokenSignsWithItsOwnRegistrationReadAfresh) {
    const fs::path policies = *store / "other-policies.json";
    fs::create_directories(*store);
    std::ofstream(policies) << R"({"signingPolicies":[{"signingPolicyId":"other-policy",
        "signingPolicySlug":"other","projectSlug":"other-project"}]})";
    const EmulatorProcess other({"--policies", policies.string(), "--organization", "other-org",
                                 "--api-token", "other-token", "--key-bits", "1024"});
    const Bytes otherCertificate = policyCertificate(other, "other-org", "other-token", "other-policy");
    other.clearRequests();
    registerToken(
        "policy-id-1",
        configurationFor(*emulator, EmulatorProcess::kOrganization, EmulatorProcess::kApiToken).toJson());
    registerToken("other-policy", configurationFor(other, "other-org", "other-token").toJson(),
                  otherCertificate);

    const Bytes digest = CryptoContext::sha256(bytesOf("both"));
    const auto mine = session->signData(digest, "policy-id-1", sha256Digest);
    const auto theirs = session->signData(digest, "other-policy", sha256Digest);
    ASSERT_TRUE(mine && theirs);
    EXPECT_TRUE(verifies(*certificate, digest, EVP_sha256(), mine.value()));
    EXPECT_TRUE(verifies(otherCertificate, digest, EVP_sha256(), theirs.value()));
    EXPECT_EQ(emulator->requests().size(), 1u);
    ASSERT_EQ(other.requests().size(), 1u);
    EXPECT_EQ(EmulatorProcess::header(other.requests()[0], "authorization"), "Bearer other-token");

    // Re-registered with the first service's credentials: the next request goes there at once.
    registerToken(
        "other-policy",
        configurationFor(*emulator, EmulatorProcess::kOrganization, EmulatorProcess::kApiToken).toJson(),
        otherCertificate);
    const auto moved = session->signData(digest, "other-policy", sha256Digest);
    ASSERT_FALSE(moved);
    EXPECT_EQ(moved.error().code, veltora::errors::http::kNotFound);
    EXPECT_EQ(emulator->requests().size(), 2u);
}

TEST_F(TokenSessionSigning, SessionsOnManyThreadsEachGetTheirOwnSignature) {
    registerToken(
        "policy-id-1",
        configurationFor(*emulator, EmulatorProcess::kOrganization, EmulatorProcess::kApiToken).toJson());
    emulator->setLatency(20);
    const auto token = std::make_shared<TokenDriver>()->tokenForConfiguration({});
    std::vector<std::vector<bool>> verified(4);
    {
        std::vector<std::jthread> signers;
        for (std::size_t thread = 0; thread < verified.size(); ++thread) {
            signers.emplace_back([&, thread] {
                const auto own = token->createSession();
                for (int round = 0; round < 3; ++round) {
                    const Bytes digest = CryptoContext::sha256(bytesOf(std::to_string(thread * 10 + round)));
                    const auto signature = own->signData(digest, "policy-id-1", sha256Digest);
                    verified[thread].push_back(
                        signature && verifies(*certificate, digest, EVP_sha256(), signature.value()));
                }
                token->terminateSession(*own);
            });
        }
    }
    emulator->setLatency(0);
    for (const auto& results : verified) {
        EXPECT_EQ(results, std::vector<bool>(3, true));
    }
}

TEST_F(TokenSessionSigning, ServiceFailuresAndUnusableAnswersFailAtOnce) {
    registerToken(
        "policy-id-1",
        configurationFor(*emulator, EmulatorProcess::kOrganization, EmulatorProcess::kApiToken).toJson());
    const Bytes digest = CryptoContext::sha256(bytesOf("fail"));
    const auto failure = [&](const std::string& steps) {
        emulator->script("signing", steps);
        const auto signature = session->signData(digest, "policy-id-1", sha256Digest);
        EXPECT_FALSE(signature) << steps;
        return signature ? veltora::Error{} : signature.error();
    };

    EXPECT_EQ(failure("invalid-base64"),
              (veltora::Error{TKErrorDomain, TKErrorCodeAuthenticationNeeded, "Authentication required!"}));
    EXPECT_EQ(failure("200:{\"Signature\":\"\"}").code,
              static_cast<std::int64_t>(QuilletErrorCode::emptySignature));
    EXPECT_EQ(failure("500:broken").description, "HTTP request failed with status code 500 broken");
    EXPECT_EQ(failure("503*2").code, veltora::errors::http::kRetriesExhausted);
    EXPECT_EQ(failure("missing-signature").code, veltora::errors::client::kJsonParsing);
    // A service that never answers is cut off by the registration's own request timeout.
    EXPECT_FALSE(failure("hang").domain.empty());
    const auto logged = linesStartingWith("An error occurred in tokenSession: ");
    ASSERT_EQ(logged.size(), 6u);
    EXPECT_EQ(logged[0], "An error occurred in tokenSession: Authentication required!");
}

TEST_F(TokenSessionSigning, UnusableRegistrationsFailTheSignWithTheirOwnErrors) {
    const auto code = [&](const KeyObjectID& key, const TKTokenKeyAlgorithm& algorithm = sha256Digest) {
        const auto signature = session->signData(bytesOf("digest"), key, algorithm);
        EXPECT_FALSE(signature);
        return signature ? veltora::Error{} : signature.error();
    };
    const auto expectQuillet = [](const veltora::Error& error, QuilletErrorCode expected) {
        EXPECT_EQ(error.domain, "Quillet");
        EXPECT_EQ(error.code, static_cast<std::int64_t>(expected)) << error.description;
    };
    expectQuillet(code(std::nullopt), QuilletErrorCode::keyObjectIDNotString);
    expectQuillet(code("unregistered"), QuilletErrorCode::noTokenConfiguration);
    registerToken("no-data", std::nullopt);
    expectQuillet(code("no-data"), QuilletErrorCode::noConfigurationData);
    registerToken("not-json", "{\"apiUrl\":");
    expectQuillet(code("not-json"), QuilletErrorCode::configurationDataNotDecodable);
    registerToken("no-timeouts", "{\"apiUrl\":\"http://127.0.0.1:1\"}");
    expectQuillet(code("no-timeouts"), QuilletErrorCode::configurationDataNotDecodable);
    registerToken("no-url", R"({"organizationId":"o","apiToken":"t","timeouts":{}})");
    expectQuillet(code("no-url"), QuilletErrorCode::apiUrlMissing);
    registerToken("no-org", R"({"apiUrl":"http://127.0.0.1:1","apiToken":"t","timeouts":{}})");
    expectQuillet(code("no-org"), QuilletErrorCode::organizationIdMissing);
    registerToken("no-token", R"({"apiUrl":"http://127.0.0.1:1","organizationId":"o","timeouts":{}})");
    expectQuillet(code("no-token"), QuilletErrorCode::apiTokenMissing);
    expectQuillet(code("no-token", TKTokenKeyAlgorithm(std::string(kSecKeyAlgorithmRSASignatureRaw))),
                  QuilletErrorCode::algorithmWithoutOid);
    EXPECT_TRUE(emulator->requests().empty());
    EXPECT_EQ(linesStartingWith("Error parsing JSON token configuration: ").size(), 2u);
    EXPECT_EQ(linesStartingWith("An error occurred in tokenSession: ").size(), 9u);
}

} // namespace
} // namespace quillet
