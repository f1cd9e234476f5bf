#include "VeltoraCryptoTokenKit/client/HttpSession.h"
#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"
#include "tests/support/EmulatorProcess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

namespace veltora {
namespace {

using test::EmulatorProcess;

std::string pemPrivateKey(EVP_PKEY* key) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::unique_ptr<X509, decltype(&X509_free)> certificateFrom(const nlohmann::json& policy) {
    const std::string text = policy.at("certificateBytes");
    std::string der(text.size(), '\0');
    const int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
    return {d2i_X509(nullptr, &bytes, length), &X509_free};
}

TEST(EmulatorTest, ServesPoliciesFromAFileWithTheirOwnKeys) {
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), &EVP_PKEY_free);
    ASSERT_TRUE(key);
    const nlohmann::json document{
        {"signingPolicies",
         {{{"signingPolicyId", "expired-id"},
           {"signingPolicySlug", "expired"},
           {"projectSlug", "p"},
           {"privateKeyPem", pemPrivateKey(key.get())},
           {"validDays", -1}},
          {{"signingPolicyId", "fresh-id"}, {"signingPolicySlug", "fresh"}, {"projectSlug", "p"}}}}};
    const auto file =
        std::filesystem::temp_directory_path() / ("policies-" + std::to_string(getpid()) + ".json");
    std::ofstream(file) << document.dump();
    EmulatorProcess emulator({"--policies", file.string(), "--organization", "org-2", "--api-token", "t"});
    std::filesystem::remove(file);

    const VeltoraClient client(emulator.baseUrl(), "org-2", "t", TimeoutsConfiguration{10.0f, 0.001f, 1});
    const auto listed = client.mySigningPolicies("p", std::nullopt);
    ASSERT_TRUE(listed.ok()) << listed.error().description;
    const auto& policies = listed.value().at("signingPolicies");
    ASSERT_EQ(policies.size(), 2u);
    EXPECT_EQ(policies[0].at("signingPolicyId"), "expired-id");
    const auto expired = certificateFrom(policies[0]);
    ASSERT_TRUE(expired);
    EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(expired.get()), key.get()), 1);
    EXPECT_LT(X509_cmp_current_time(X509_get0_notAfter(expired.get())), 0);
    const auto fresh = certificateFrom(policies[1]);
    ASSERT_TRUE(fresh);
    EXPECT_GT(X509_cmp_current_time(X509_get0_notAfter(fresh.get())), 0);
    EXPECT_NE(EVP_PKEY_eq(X509_get0_pubkey(fresh.get()), key.get()), 1);

    // Another organization is unknown.
    const VeltoraClient elsewhere(emulator.baseUrl(), "org-3", "t", TimeoutsConfiguration{10.0f, 0.001f, 1});
    const auto unknown = elsewhere.mySigningPolicies(std::nullopt, std::nullopt);
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.error().code, 404);
}

TEST(EmulatorTest, AnswersDeviatingRequestsWithTheReason) {
    EmulatorProcess emulator;
    const HttpSession session(10.0f);
    HttpRequest request;
    request.method = "POST";
    request.url = emulator.baseUrl() + "/v1/test-org/SigningRequests";
    request.setHeader("Authorization", "Bearer test-token");
    request.setHeader("Content-Type",
                      "multipart/form-data; boundary=unique-consistent-string; charset=utf-8");
    const std::string head =
        "--unique-consistent-string\r\n"
        "Content-Disposition: form-data; name=\"SigningPolicyId\"\r\n\r\npolicy-id-1\r\n"
        "--unique-consistent-string\r\n"
        "Content-Disposition: form-data; name=\"IsFastSigningRequest\"\r\n\r\ntrue\r\n"
        "--unique-consistent-string\r\n"
        "Content-Disposition: form-data; name=\"Artifact\"; filename=\"payload.json\"\r\n"
        "Content-Type: application/json\r\n\r\n";
    const std::string tail = "\r\n--unique-consistent-string--\r\n";
    const auto answer = [&](const std::string& artifact) {
        request.body = head + artifact + tail;
        auto response = session.send(request, {});
        return response.ok() ? response.value() : HttpResponse{};
    };
    const std::string digest = "LPJNul+wow4m6DsqxbninhsWHlwfp0JecwQzYpOLmCQ=";
    const std::string exact =
        R"({"Base64EncodedHash":")" + digest +
        R"(","SignatureAlgorithm":"RsaPkcs1","RsaHashAlgorithm":"2.16.840.1.101.3.4.2.1",)"
        R"("Metadata":{"CreatingProcess":{"CommandLine":"","User":"u"}}})";
    EXPECT_EQ(answer(exact).status, 200);

    const auto spaced = answer(R"({"Base64EncodedHash": ")" + exact.substr(exact.find(digest)));
    EXPECT_EQ(spaced.status, 400);
    EXPECT_THAT(spaced.body, ::testing::HasSubstr("Artifact JSON deviates"));
    EXPECT_EQ(answer(exact.substr(0, exact.size() - 1)).status, 400); // cut short
    const auto sha1 =
        answer(std::string(exact).replace(exact.find("2.16.840.1.101.3.4.2.1"), 22, "1.3.14.3.2.26"));
    EXPECT_EQ(sha1.status, 400);
    EXPECT_THAT(sha1.body, ::testing::HasSubstr("32 bytes"));

    request.setHeader("Content-Type", "multipart/form-data; boundary=unique-consistent-string");
    EXPECT_EQ(answer(exact).status, 400);
}

TEST(EmulatorTest, DelaysAndCountsEachNewConnectionOnly) {
    EmulatorProcess emulator({"--connect-delay-ms", "300"});
    const long before = emulator.connectionsOpened();
    const HttpSession session(10.0f);
    HttpRequest request;
    request.method = "GET";
    request.url = emulator.baseUrl() + "/v1/test-org/Cryptoki/MySigningPolicies";
    request.setHeader("Authorization", "Bearer test-token");

    const auto started = std::chrono::steady_clock::now();
    const auto fresh = session.send(request, {});
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
    const auto reused = session.send(request, {});
    ASSERT_TRUE(fresh.ok() && reused.ok());
    EXPECT_EQ(reused.value().status, 200);
    // The pooled connection once, and the connection this count is asked on.
    EXPECT_EQ(emulator.connectionsOpened() - before, 2);
}

TEST(EmulatorTest, ExplainsItsCommandLine) {
    const std::string command = EmulatorProcess::executablePath();
    EXPECT_EQ(std::system((command + " --help > /dev/null").c_str()), 0);
    EXPECT_NE(std::system((command + " --script signing=bogus 2> /dev/null").c_str()), 0);
    EXPECT_THROW(EmulatorProcess({"--generate", "many"}), std::runtime_error);
}

} // namespace
} // namespace veltora
