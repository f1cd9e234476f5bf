#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"
#include "tests/support/EmulatorProcess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace veltora {
namespace {

using test::EmulatorProcess;
using ::testing::StartsWith;

constexpr const char* kSha256Oid = "2.16.840.1.101.3.4.2.1";
constexpr const char* kSha1Oid = "1.3.14.3.2.26";
const std::string kParsingPrefix = "Error parsing JSON data: ";

TimeoutsConfiguration quickTimeouts() {
    return TimeoutsConfiguration{10.0f, 0.001f, 3};
}

std::string base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::string unbase64(const std::string& text) {
    std::string bytes(text.size(), '\0');
    const int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0) {
        return {};
    }
    const auto padding = text.ends_with("==") ? 2u : text.ends_with("=") ? 1u : 0u;
    bytes.resize(static_cast<std::size_t>(length) - padding);
    return bytes;
}

std::string sha256(const std::string& data) {
    std::string digest(SHA256_DIGEST_LENGTH, '\0');
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
           reinterpret_cast<unsigned char*>(digest.data()));
    return digest;
}

std::string loginName() {
    const passwd* entry = getpwuid(geteuid());
    return entry != nullptr ? entry->pw_name : "";
}

// Checks a PKCS #1 v1.5 signature over a digest against a policy certificate.
bool verifies(const std::string& certificateBase64, const std::string& digest, const EVP_MD* hash,
              const std::string& signature) {
    const std::string der = unbase64(certificateBase64);
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        d2i_X509(nullptr, &bytes, static_cast<long>(der.size())), &X509_free);
    if (!certificate) {
        return false;
    }
    EVP_PKEY* key = X509_get0_pubkey(certificate.get());
    const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new(key, nullptr),
                                                                              &EVP_PKEY_CTX_free);
    return context && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), hash) == 1 &&
           EVP_PKEY_verify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                           signature.size(), reinterpret_cast<const unsigned char*>(digest.data()),
                           digest.size()) == 1;
}

std::string expectedSigningBody(const std::string& policyId, const std::string& artifact) {
    return "--unique-consistent-string\r\n"
           "Content-Disposition: form-data; name=\"SigningPolicyId\"\r\n\r\n" +
           policyId +
           "\r\n"
           "--unique-consistent-string\r\n"
           "Content-Disposition: form-data; name=\"IsFastSigningRequest\"\r\n\r\ntrue\r\n"
           "--unique-consistent-string\r\n"
           "Content-Disposition: form-data; name=\"Artifact\"; filename=\"payload.json\"\r\n"
           "Content-Type: application/json\r\n\r\n" +
           artifact + "\r\n--unique-consistent-string--\r\n";
}

TEST(VeltoraClientTest, SignsWithTheExactRequestBytes) {
    EmulatorProcess emulator({"--generate", "2"});
    const VeltoraClient client(emulator.baseUrl(), "test-org", "test-token", quickTimeouts());
    const auto policies = client.mySigningPolicies(std::nullopt, std::nullopt);
    ASSERT_TRUE(policies.ok()) << policies.error().description;
    const std::string certificate = policies.value().at("signingPolicies").at(1).at("certificateBytes");

    const std::string digest = sha256("hello");
    const auto signature = client.sendSigningRequest(base64(digest), "policy-id-2", kSha256Oid);
    ASSERT_TRUE(signature.ok()) << signature.error().description;
    EXPECT_TRUE(verifies(certificate, digest, EVP_sha256(), unbase64(signature.value())));

    const std::string sha1Digest(20, '\x5a');
    const auto sha1Signature = client.sendSigningRequest(base64(sha1Digest), "policy-id-2", kSha1Oid);
    ASSERT_TRUE(sha1Signature.ok()) << sha1Signature.error().description;
    EXPECT_TRUE(verifies(certificate, sha1Digest, EVP_sha1(), unbase64(sha1Signature.value())));

    const auto received = emulator.requests();
    ASSERT_EQ(received.size(), 3u);
    const auto& signing = received[1];
    EXPECT_EQ(signing.at("method"), "POST");
    EXPECT_EQ(signing.at("target"), "/Api/v1/test-org/SigningRequests");
    EXPECT_EQ(EmulatorProcess::header(signing, "Authorization"), "Bearer test-token");
    EXPECT_EQ(EmulatorProcess::header(signing, "Content-Type"),
              "multipart/form-data; boundary=unique-consistent-string; charset=utf-8");
    EXPECT_EQ(EmulatorProcess::header(signing, "User-Agent"), client.httpClient().getUserAgentString());
    const std::string artifact = R"({"Base64EncodedHash":")" + base64(digest) +
                                 R"(","SignatureAlgorithm":"RsaPkcs1","RsaHashAlgorithm":")" + kSha256Oid +
                                 R"(","Metadata":{"CreatingProcess":{"CommandLine":"","User":")" +
                                 loginName() + R"("}}})";
    EXPECT_EQ(EmulatorProcess::body(signing), expectedSigningBody("policy-id-2", artifact));

    const auto& listing = received[0];
    EXPECT_EQ(listing.at("method"), "GET");
    EXPECT_EQ(listing.at("target"), "/Api/v1/test-org/Cryptoki/MySigningPolicies");
    EXPECT_EQ(EmulatorProcess::header(listing, "Authorization"), "Bearer test-token");
    EXPECT_EQ(EmulatorProcess::header(listing, "Content-Type"), "");
    EXPECT_EQ(EmulatorProcess::body(listing), "");
}

TEST(VeltoraClientTest, QueriesPoliciesWithEncodedFiltersInOrder) {
    EmulatorProcess emulator({"--generate", "3"});
    const VeltoraClient client(emulator.baseUrl(), "test-org", "test-token", quickTimeouts());

    const auto both = client.mySigningPolicies("project-1", "policy-3");
    ASSERT_TRUE(both.ok()) << both.error().description;
    ASSERT_EQ(both.value().at("signingPolicies").size(), 1u);
    EXPECT_EQ(both.value()["signingPolicies"][0]["signingPolicyId"], "policy-id-3");

    const auto project = client.mySigningPolicies("project-1", "");
    ASSERT_TRUE(project.ok());
    EXPECT_EQ(project.value().at("signingPolicies").size(), 2u);
    ASSERT_TRUE(client.mySigningPolicies("", std::nullopt).ok());
    ASSERT_TRUE(client.mySigningPolicies(std::nullopt, "policy-2").ok());
    const auto odd = client.mySigningPolicies("a b&c=d/é", std::nullopt);
    ASSERT_TRUE(odd.ok());
    EXPECT_TRUE(odd.value().at("signingPolicies").empty());

    const auto received = emulator.requests();
    ASSERT_EQ(received.size(), 5u);
    const std::string path = "/Api/v1/test-org/Cryptoki/MySigningPolicies";
    EXPECT_EQ(received[0].at("target"), path + "?ProjectSlug=project-1&SigningPolicySlug=policy-3");
    EXPECT_EQ(received[1].at("target"), path + "?ProjectSlug=project-1");
    EXPECT_EQ(received[2].at("target"), path);
    EXPECT_EQ(received[3].at("target"), path + "?SigningPolicySlug=policy-2");
    EXPECT_EQ(received[4].at("target"), path + "?ProjectSlug=a+b%26c%3dd%2f%c3%a9");
}

TEST(VeltoraClientTest, SendsUrlsAsConfiguredAndPassesHttpFailuresThrough) {
    EmulatorProcess emulator;
    const VeltoraClient slashed(emulator.baseUrl() + "/", "test-org", "test-token", quickTimeouts());
    const auto notFound = slashed.sendSigningRequest(base64(sha256("x")), "policy-id-1", kSha256Oid);
    ASSERT_FALSE(notFound.ok());
    EXPECT_EQ(notFound.error().domain, "RetryableHttpClient");
    EXPECT_EQ(notFound.error().code, errors::http::kNotFound);
    EXPECT_FALSE(slashed.mySigningPolicies(std::nullopt, std::nullopt).ok());
    const auto received = emulator.requests();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].at("target"), "/Api//v1/test-org/SigningRequests");
    EXPECT_EQ(received[1].at("target"), "/Api//v1/test-org/Cryptoki/MySigningPolicies");

    const VeltoraClient wrongToken(emulator.baseUrl(), "test-org", "wrong", quickTimeouts());
    const auto unauthorized = wrongToken.sendSigningRequest(base64(sha256("x")), "policy-id-1", kSha256Oid);
    ASSERT_FALSE(unauthorized.ok());
    EXPECT_EQ(unauthorized.error(),
              (Error{"RetryableHttpClient", errors::http::kUnauthorized,
                     "HTTP request failed with status code 401 missing or invalid API token"}));
    const auto unauthorizedList = wrongToken.mySigningPolicies(std::nullopt, std::nullopt);
    ASSERT_FALSE(unauthorizedList.ok());
    EXPECT_EQ(unauthorizedList.error().code, errors::http::kUnauthorized);

    // Refused before anything is sent.
    emulator.clearRequests();
    const VeltoraClient badUrl("http://exa mple/Api", "test-org", "test-token", quickTimeouts());
    const auto invalid = badUrl.sendSigningRequest("AAAA", "policy-id-1", kSha256Oid);
    ASSERT_FALSE(invalid.ok());
    EXPECT_EQ(invalid.error(), (Error{"VeltoraClient", errors::client::kInvalidUrl,
                                      "Invalid URL: http://exa mple/Api/v1/test-org/SigningRequests"}));
    const auto invalidList = badUrl.mySigningPolicies(std::nullopt, std::nullopt);
    ASSERT_FALSE(invalidList.ok());
    EXPECT_EQ(invalidList.error().domain, "libcurl");
    EXPECT_EQ(invalidList.error().code, CURLE_URL_MALFORMAT);
    const VeltoraClient client(emulator.baseUrl(), "test-org", "test-token", quickTimeouts());
    const auto notUtf8 = client.sendSigningRequest("AAAA", "policy-id-1", "2.16.\xff");
    ASSERT_FALSE(notUtf8.ok());
    EXPECT_EQ(notUtf8.error(), (Error{"VeltoraClient", errors::client::kPayloadEncoding,
                                      "Failed to convert payload string to data."}));
    EXPECT_TRUE(emulator.requests().empty());
}

TEST(VeltoraClientTest, RejectsUnusableAnswersAsParsingErrors) {
    EmulatorProcess emulator(
        {"--script",
         "signing=empty-body,not-json,json-array,missing-signature,signature-not-string,signature-null,"
         "invalid-base64,signature-with-line-breaks",
         "--script", "policies=json-array,not-json"});
    const VeltoraClient client(emulator.baseUrl(), "test-org", "test-token", quickTimeouts());
    const auto sign = [&client] {
        return client.sendSigningRequest(base64(sha256("x")), "policy-id-1", kSha256Oid);
    };
    const Error noSignature{"VeltoraClient", errors::client::kJsonParsing,
                            kParsingPrefix +
                                "Failed to parse JSON data or Signature not found in the response."};

    for (int i = 0; i < 2; ++i) { // empty body, then not JSON: the parser's own message
        const auto unparsable = sign();
        ASSERT_FALSE(unparsable.ok());
        EXPECT_EQ(unparsable.error().code, errors::client::kJsonParsing);
        EXPECT_THAT(unparsable.error().description, StartsWith(kParsingPrefix));
        EXPECT_GT(unparsable.error().description.size(), kParsingPrefix.size());
    }
    for (int i = 0; i < 4; ++i) { // array, missing, number, null
        const auto unusable = sign();
        ASSERT_FALSE(unusable.ok());
        EXPECT_EQ(unusable.error(), noSignature);
    }
    // Any string is handed on unchanged; decoding is the caller's business.
    const auto invalidBase64 = sign();
    ASSERT_TRUE(invalidBase64.ok());
    EXPECT_EQ(invalidBase64.value(), "not*valid*base64!");
    const auto wrapped = sign();
    ASSERT_TRUE(wrapped.ok());
    EXPECT_NE(wrapped.value().find("\r\n"), std::string::npos);

    const auto array = client.mySigningPolicies(std::nullopt, std::nullopt);
    ASSERT_FALSE(array.ok());
    EXPECT_EQ(array.error(), (Error{"VeltoraClient", errors::client::kJsonParsing,
                                    kParsingPrefix + "Failed to parse JSON data."}));
    const auto notJson = client.mySigningPolicies(std::nullopt, std::nullopt);
    ASSERT_FALSE(notJson.ok());
    EXPECT_EQ(notJson.error().code, errors::client::kJsonParsing);
    EXPECT_THAT(notJson.error().description, StartsWith(kParsingPrefix));
}

TEST(VeltoraClientTest, RefusesAnswersPastTheirBoundAsTheyArrive) {
    // "large-body:N" answers {"Signature":"AAAA..."} of N bytes.
    EmulatorProcess emulator({"--script", "signing=large-body:65536,large-body:65537,large-body:20971520",
                              "--script", "policies=large-body:1048576,large-body:67108865"});
    const VeltoraClient client(emulator.baseUrl(), "test-org", "test-token", quickTimeouts());
    const auto refusal = [](std::size_t bound) {
        return Error{"libcurl", CURLE_FILESIZE_EXCEEDED,
                     "libcurl error 63: Maximum file size exceeded (the answer is larger than the bound of " +
                         std::to_string(bound) + " bytes)"};
    };
    const auto sign = [&client] {
        return client.sendSigningRequest(base64(sha256("x")), "policy-id-1", kSha256Oid);
    };

    const auto atTheBound = sign();
    ASSERT_TRUE(atTheBound.ok()) << atTheBound.error().description;
    EXPECT_EQ(atTheBound.value().size(), VeltoraClient::kMaxSigningAnswerBytes - 16);
    const auto pastTheBound = sign();
    ASSERT_FALSE(pastTheBound.ok());
    EXPECT_EQ(pastTheBound.error(), refusal(VeltoraClient::kMaxSigningAnswerBytes));
    const auto started = std::chrono::steady_clock::now();
    const auto huge = sign();
    ASSERT_FALSE(huge.ok());
    EXPECT_EQ(huge.error(), refusal(VeltoraClient::kMaxSigningAnswerBytes));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));

    // The policies answer may be far larger, but not without end.
    const auto large = client.mySigningPolicies(std::nullopt, std::nullopt);
    ASSERT_TRUE(large.ok()) << large.error().description;
    const auto tooLarge = client.mySigningPolicies(std::nullopt, std::nullopt);
    ASSERT_FALSE(tooLarge.ok());
    EXPECT_EQ(tooLarge.error(), refusal(VeltoraClient::kMaxPoliciesAnswerBytes));
}

TEST(VeltoraClientTest, EscapesInsertedTextSoTheArtifactStaysJson) {
    EmulatorProcess emulator;
    const VeltoraClient client(emulator.baseUrl(), "test-org", "test-token", quickTimeouts());
    const std::string oddHash = "2.16\"\\\n\x01";
    const std::string oddDigest = "AA\"\\BB\t";
    const auto refused = client.sendSigningRequest(oddDigest, "policy-id-1", oddHash);
    ASSERT_FALSE(refused.ok());
    // The emulator read the artifact and found the unescaped texts in it.
    EXPECT_EQ(refused.error().code, 400);
    EXPECT_THAT(refused.error().description, ::testing::HasSubstr("Base64EncodedHash is not Base64"));

    const auto received = emulator.requests();
    ASSERT_EQ(received.size(), 1u);
    const std::string body = EmulatorProcess::body(received[0]);
    const auto start = body.find("{\"Base64EncodedHash\"");
    const auto end = body.rfind("\r\n--unique-consistent-string--");
    ASSERT_NE(start, std::string::npos);
    const std::string artifact = body.substr(start, end - start);
    EXPECT_NE(artifact.find(R"("RsaHashAlgorithm":"2.16\"\\\n\u0001")"), std::string::npos) << artifact;
    ASSERT_TRUE(nlohmann::json::accept(artifact)) << artifact;
    const auto parsed = nlohmann::json::parse(artifact);
    EXPECT_EQ(parsed.at("Base64EncodedHash"), oddDigest);
    EXPECT_EQ(parsed.at("RsaHashAlgorithm"), oddHash);
    EXPECT_EQ(parsed.at("Metadata").at("CreatingProcess").at("User"), loginName());
}

TEST(VeltoraClientTest, SharesOneClientAndFreshClientsAcrossThreads) {
    EmulatorProcess emulator;
    const VeltoraClient shared(emulator.baseUrl(), "test-org", "test-token", quickTimeouts());
    std::atomic<int> signatures{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 8; ++i) {
                    const std::string digest = base64(sha256(std::to_string(t * 100 + i)));
                    const auto signature =
                        t % 2 == 0
                            ? shared.sendSigningRequest(digest, "policy-id-1", kSha256Oid)
                            : VeltoraClient(emulator.baseUrl(), "test-org", "test-token", quickTimeouts())
                                  .sendSigningRequest(digest, "policy-id-1", kSha256Oid);
                    signatures += signature.ok() ? 1 : 0;
                }
            });
        }
    }
    EXPECT_EQ(signatures.load(), 48);
}

TEST(VeltoraClientTest, ReusesConnectionsAcrossClientsButNotAcrossFork) {
    EmulatorProcess emulator;
    const std::string digest = base64(sha256("reuse"));
    const auto sign = [&] {
        return VeltoraClient(emulator.baseUrl(), "test-org", "test-token", quickTimeouts())
            .sendSigningRequest(digest, "policy-id-1", kSha256Oid)
            .ok();
    };
    ASSERT_TRUE(sign());
    ASSERT_TRUE(sign());

    const pid_t child = fork();
    if (child == 0) {
        _exit(sign() ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(sign());

    const auto received = emulator.requests();
    ASSERT_EQ(received.size(), 4u);
    // A fresh client per request still rides the warm connection ...
    EXPECT_EQ(received[1].at("remotePort"), received[0].at("remotePort"));
    // ... a forked child opens its own, and the parent's stays usable.
    EXPECT_NE(received[2].at("remotePort"), received[0].at("remotePort"));
    EXPECT_EQ(received[3].at("remotePort"), received[0].at("remotePort"));
}

// Restores an environment variable when the test ends.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(VeltoraClientTest, SignsOverHttpsTrustingTheNamedBundleOnly) {
    EmulatorProcess emulator({}, true);
    ASSERT_THAT(emulator.baseUrl(), StartsWith("https://127.0.0.1:"));
    const std::string digest = base64(sha256("over TLS"));
    {
        const ScopedEnvironment noBundle("SSL_CERT_FILE", "");
        const ScopedEnvironment noCurlBundle("CURL_CA_BUNDLE", "");
        const VeltoraClient untrusted(emulator.baseUrl(), "test-org", "test-token", quickTimeouts());
        const auto refused = untrusted.sendSigningRequest(digest, "policy-id-1", kSha256Oid);
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.error().domain, "libcurl");
        // Unverified peer; or, on a machine without a system bundle, no trust at all.
        EXPECT_THAT(refused.error().code,
                    ::testing::AnyOf(CURLE_PEER_FAILED_VERIFICATION, CURLE_SSL_CACERT_BADFILE));
    }
    for (const auto& [variable, other] :
         {std::pair{"SSL_CERT_FILE", "CURL_CA_BUNDLE"}, {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}}) {
        const ScopedEnvironment otherBundle(other, "");
        const ScopedEnvironment bundle(variable, emulator.caFile());
        const VeltoraClient client(emulator.baseUrl(), "test-org", "test-token", quickTimeouts());
        const auto signature = client.sendSigningRequest(digest, "policy-id-1", kSha256Oid);
        ASSERT_TRUE(signature.ok()) << variable << ": " << signature.error().description;
        EXPECT_EQ(unbase64(signature.value()).size(), 256u);
    }
}

} // namespace
} // namespace veltora
