#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "Quillet/token/KeyAlgorithmTables.h"
#include "Quillet/token/Token.h"
#include "Quillet/token/TokenDriver.h"
#include "Quillet/token/TokenSession.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "tests/support/RecordingLogger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <unistd.h>

namespace quillet {
namespace {

namespace fs = std::filesystem;

const TKTokenKeyAlgorithm sha256Digest{std::string(kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256)};
const TKTokenKeyAlgorithm sha1Digest{std::string(kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA1)};
const TKTokenKeyAlgorithm rawRsa{std::string(kSecKeyAlgorithmRSASignatureRaw)};

TEST(TokenSessionTables, SupportsTheTwoDigestAlgorithmsForEveryOperationAndKeyOnly) {
    TokenSession session(nullptr);
    const std::vector<TKTokenOperation> operations = {0, 1, 2,  3,
                                                      4, 5, -1, std::numeric_limits<std::int64_t>::min()};
    for (const TKTokenOperation operation : operations) {
        for (const KeyObjectID& key : {KeyObjectID("no such key"), KeyObjectID()}) {
            EXPECT_TRUE(session.supports(operation, key, sha256Digest)) << operation;
            EXPECT_TRUE(session.supports(operation, key, sha1Digest)) << operation;
            EXPECT_FALSE(session.supports(operation, key, rawRsa)) << operation;
            EXPECT_FALSE(
                session.supports(operation, key, TKTokenKeyAlgorithm("RSASignatureDigestPKCS1v15SHA512")));
            EXPECT_FALSE(session.supports(operation, key, TKTokenKeyAlgorithm("")));
        }
    }

    EXPECT_EQ(getOperationString(0), "TKTokenOperationNone");
    EXPECT_EQ(getOperationString(2), "TKTokenOperationSignData");
    EXPECT_EQ(getOperationString(4), "TKTokenOperationPerformKeyExchange");
    EXPECT_EQ(getOperationString(5), "Unknown TKTokenOperation");
    EXPECT_EQ(getOperationString(-1), "Unknown TKTokenOperation");

    EXPECT_EQ(GetAlgorithmStringFromTKTokenKeyAlgorithm(rawRsa), "kSecKeyAlgorithmRSASignatureRaw");
    EXPECT_EQ(GetAlgorithmStringFromTKTokenKeyAlgorithm(TKTokenKeyAlgorithm("x")), "unknown");
    EXPECT_EQ(GetAlgorithmFromTKTokenKeyAlgorithm(sha1Digest),
              kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA1);
    EXPECT_FALSE(GetAlgorithmFromTKTokenKeyAlgorithm(TKTokenKeyAlgorithm("x")).has_value());
    EXPECT_EQ(GetAlgorithmOidFromTKTokenKeyAlgorithm(sha256Digest), "2.16.840.1.101.3.4.2.1");
    EXPECT_EQ(GetAlgorithmOidFromTKTokenKeyAlgorithm(sha1Digest), "1.3.14.3.2.26");
    EXPECT_FALSE(GetAlgorithmOidFromTKTokenKeyAlgorithm(rawRsa).has_value());
}

TEST(TokenObjects, AnyInstanceIdMakesATokenWhoseSessionsComeAndGoWithTheirLogLines) {
    auto recorder = std::make_shared<veltora::test::RecordingLogger>();
    veltora::DDLog::sharedInstance().addLogger(recorder, veltora::DDLogLevel::all);

    const fs::path directory = fs::temp_directory_path() / ("token-objects-" + std::to_string(getpid()));
    TKTokenDriverConfiguration drivers(TKTokenDriverConfiguration::quilletClassID, directory);
    auto driver = std::make_shared<TokenDriver>();
    for (const std::string id : {"", "/", "..", "Zertifikat-Ä", "never\nregistered"}) {
        auto registration = drivers.addTokenConfigurationForTokenInstanceID(id);
        ASSERT_TRUE(registration) << registration.error().description;
        // Broken data does not stop a token or a session from being made.
        ASSERT_TRUE(registration.value()->setConfigurationData({'{'}));
        const auto token = driver->tokenForConfiguration(*registration.value());
        EXPECT_EQ(token->instanceID(), id);
        const auto first = token->createSession();
        const auto second = token->createSession();
        EXPECT_EQ(first->token(), token);
        token->terminateSession(*first);
        EXPECT_TRUE(second->supports(TKTokenOperationSignData, id, sha256Digest));
        [[maybe_unused]] const TKTokenPasswordAuthOperation authentication = second->beginAuthFor(2, {});
        token->terminateSession(*second);
    }
    fs::remove_all(directory);

    veltora::DDLog::sharedInstance().flushLog();
    const auto lines = recorder->lines();
    const auto count = [&lines](const std::string& prefix) {
        return std::count_if(lines.begin(), lines.end(),
                             [&prefix](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    };
    EXPECT_EQ(count("tokenDriver tokenfor"), 5);
    EXPECT_EQ(count("TKToken Session starting"), 10);
    EXPECT_EQ(count("Terminating session: <TokenSession: "), 10);
    EXPECT_EQ(count("TokenSession supportsOperation"), 5);
    EXPECT_EQ(count("tokenSession"), 5);
}

} // namespace
} // namespace quillet
