#include "VeltoraCryptoTokenKit/app/CertificateSync.h"

#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "tests/host/HostTestSupport.h"

#include <functional>

namespace veltora::test {
namespace {

using nlohmann::json;
using quillet::TKTokenDriverConfiguration;

std::set<std::string> registeredIds() {
    std::set<std::string> ids;
    for (const auto& [classID, driver] : TKTokenDriverConfiguration::driverConfigurations()) {
        for (const auto& [id, token] : driver->tokenConfigurations()) {
            ids.insert(id);
        }
    }
    return ids;
}

Bytes decodedWithOpenSsl(const std::string& text) {
    Bytes bytes(text.size());
    const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    bytes.resize(static_cast<std::size_t>(std::max(length, 0))); // padding leaves zero bytes that d2i ignores
    return bytes;
}

json policy(const std::string& id, const json& certificateBytes) {
    return {{"signingPolicyId", id},
            {"signingPolicySlug", "slug-" + id},
            {"projectSlug", "project"},
            {"certificateBytes", certificateBytes}};
}

std::string nothingFound(const std::string& project = "", const std::string& signingPolicy = "") {
    return "Could not find any valid certificates project slug: '" + project + "' signing policy slug: '" +
           signingPolicy + "'";
}

// Base64 texts of the certificates the cases are made of.
struct Certificates {
    std::string alpha, alphaOtherKey, beta, unnamed, unnamedOtherKey, zoeComposed, zoeDecomposed, elliptic,
        elliptic2;
};

class CertificateSyncTest : public HostTest {
protected:
    static void SetUpTestSuite() {
        HostTest::SetUpTestSuite();
        const auto key = rsaKey();
        const auto otherKey = rsaKey();
        const auto ec = ecKey();
        certificates = new Certificates{
            base64Of(certificateFor(key.get(), "Alpha")),
            base64Of(certificateFor(otherKey.get(), "Alpha")),
            base64Of(certificateFor(key.get(), "Beta")),
            base64Of(certificateFor(key.get(), "")),
            base64Of(certificateFor(otherKey.get(), "")),
            base64Of(certificateFor(key.get(), "Zo\u00eb")),
            base64Of(certificateFor(otherKey.get(), "Zoe\u0308")),
            base64Of(certificateFor(ec.get(), "Elliptic")),
            base64Of(certificateFor(ec.get(), "Elliptic 2")),
        };
    }
    static void TearDownTestSuite() { delete certificates; }

    static SyncPassOutcome pass(const EmulatorProcess& emulator, const std::optional<Configuration>& config,
                                std::stop_token stopToken = {}) {
        const Configuration reach = configurationFor(
            emulator, config && config->apiToken ? *config->apiToken : EmulatorProcess::kApiToken);
        const VeltoraClient client(*reach.apiUrl, *reach.organizationId, *reach.apiToken, reach.timeouts);
        return CertificateSync(&client, config, &service).certificateSync(stopToken);
    }

    static inline Certificates* certificates = nullptr;
    static inline const CertificateService service{};
};

TEST_F(CertificateSyncTest, RowsFollowTheResponseOrderWithEveryColumnAsOpenSslReadsTheCertificate) {
    const ScopedTimeZone zone("XST-5:45"); // an odd offset from UTC shows any slip into local time
    const EmulatorProcess emulator({"--generate", "3", "--key-bits", "1024"});
    const auto config = configurationFor(emulator);
    const VeltoraClient client(*config.apiUrl, *config.organizationId, *config.apiToken, config.timeouts);
    const auto answer = client.mySigningPolicies(std::nullopt, std::nullopt);
    ASSERT_TRUE(answer);
    std::vector<Certificate> expected;
    std::vector<RecordedLine> expectedLines;
    for (const auto& policy : answer.value().at("signingPolicies")) {
        const std::string id = policy.at("signingPolicyId");
        expected.push_back(expectedRow(decodedWithOpenSsl(policy.at("certificateBytes")),
                                       policy.at("projectSlug").get<std::string>(),
                                       policy.at("signingPolicySlug").get<std::string>()));
        expectedLines.push_back({DDLogFlag::info, "syncing certificates for signing policy id:" + id});
        expectedLines.push_back({DDLogFlag::verbose, "TokenDriver was found and certificate with CN:'" +
                                                         *expected.back().commonName + "' was created"});
    }
    ASSERT_EQ(expected.size(), 3u);
    clearLog();

    const auto outcome = CertificateSync(&client, config, &service).certificateSync();

    EXPECT_FALSE(outcome.failure);
    EXPECT_EQ(outcome.rows, expected);
    EXPECT_EQ(registeredIds(), (std::set<std::string>{"policy-id-1", "policy-id-2", "policy-id-3"}));
    std::vector<RecordedLine> lines;
    for (const auto& line : logged()) {
        if (line.text.starts_with("syncing certificates") || line.text.starts_with("TokenDriver") ||
            line.flag == DDLogFlag::error || line.flag == DDLogFlag::warning) {
            lines.push_back(line);
        }
    }
    EXPECT_EQ(lines, expectedLines);
}

struct WalkCase {
    const char* name;
    std::function<json(const Certificates&)> policies;
    std::vector<std::string> rowSlugs; // the rows' signing policy slugs, in order
    std::vector<RecordedLine> problems;
};

const WalkCase walkCases[] = {
    {"SameCertificateTwice",
     [](const Certificates& c) {
         return json{policy("1", c.alpha), policy("2", c.alpha), policy("3", c.beta)};
     },
     {"slug-1", "slug-3"},
     {{DDLogFlag::warning, "Could not add same certificate twice"}}},
    {"SameUndecodableTextTwice",
     [](const Certificates& c) {
         return json{policy("1", "no*base64"), policy("2", "no*base64"), policy("3", c.beta)};
     },
     {"slug-3"},
     {{DDLogFlag::warning, "Invalid certificate data"},
      {DDLogFlag::warning, "Could not add same certificate twice"}}},
    {"CanonicallyEquivalentTexts",
     [](const Certificates&) {
         return json{policy("1", "caf\u00e9"), policy("2", "cafe\u0301")};
     },
     {},
     {{DDLogFlag::warning, "Invalid certificate data"},
      {DDLogFlag::warning, "Could not add same certificate twice"},
      {DDLogFlag::error, nothingFound()}}},
    {"LineBreakInCertificateText",
     [](const Certificates& c) {
         return json{policy("1", c.alpha.substr(0, 64) + "\n" + c.alpha.substr(64)), policy("2", c.alpha)};
     },
     {"slug-2"},
     {{DDLogFlag::warning, "Invalid certificate data"}}},
    {"Base64ThatIsNoCertificate",
     [](const Certificates&) { return json{policy("1", "AAAA")}; },
     {},
     {{DDLogFlag::warning, "Invalid certificate data"}, {DDLogFlag::error, nothingFound()}}},
    {"CertificateTextMissingOrNotText",
     [](const Certificates&) {
         return json{json{{"signingPolicyId", "1"}}, policy("2", 42)};
     },
     {},
     {{DDLogFlag::warning, "Invalid certificate data"},
      {DDLogFlag::warning, "Invalid certificate data"},
      {DDLogFlag::error, nothingFound()}}},
    {"SameCommonNameTwice",
     [](const Certificates& c) {
         return json{policy("1", c.alpha), policy("2", c.alphaOtherKey)};
     },
     {"slug-1"},
     {{DDLogFlag::warning, "Could not certificate with the same common name twice Alpha"}}},
    {"CanonicallyEquivalentCommonNames",
     [](const Certificates& c) {
         return json{policy("1", c.zoeComposed), policy("2", c.zoeDecomposed)};
     },
     {"slug-1"},
     {{DDLogFlag::warning, "Could not certificate with the same common name twice Zoe\u0308"}}},
    {"NoCommonNameTwice",
     [](const Certificates& c) {
         return json{policy("1", c.unnamed), policy("2", c.unnamedOtherKey)};
     },
     {"slug-1"},
     {{DDLogFlag::warning, "Could not certificate with the same common name twice "}}},
    {"EveryRegistrationFailing",
     [](const Certificates& c) {
         return json{policy("1", c.elliptic), policy("2", c.elliptic2)};
     },
     {},
     {{DDLogFlag::error,
       "Failed to create keychain items from certificate: The certificate's key is not an RSA key."},
      {DDLogFlag::error,
       "Failed to create keychain items from certificate: The certificate's key is not an RSA key."}}},
    {"EmptyList",
     [](const Certificates&) { return json::array(); },
     {},
     {{DDLogFlag::error, nothingFound()}}},
};

class CertificateWalk : public CertificateSyncTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(CertificateWalk, RegistersWhatIsValidAndNewAndSaysWhyTheRestIsSkipped) {
    const auto& walk = GetParam();
    const AnsweringEmulator emulator(json{{"signingPolicies", walk.policies(*certificates)}}.dump());
    const auto outcome = pass(*emulator, configurationFor(*emulator));
    EXPECT_FALSE(outcome.failure);
    std::vector<std::string> slugs;
    for (const auto& row : outcome.rows) {
        slugs.push_back(row.signingPolicy.value_or("(absent)"));
    }
    EXPECT_EQ(slugs, walk.rowSlugs);
    EXPECT_EQ(problems(), walk.problems);
}

INSTANTIATE_TEST_SUITE_P(Cases, CertificateWalk, ::testing::ValuesIn(walkCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CertificateSyncTest, APolicyWithoutIdOrSlugsRegistersUnderTheEmptyIdWithAbsentSlugs) {
    const AnsweringEmulator emulator(
        json{{"signingPolicies", {{{"certificateBytes", certificates->beta}, {"signingPolicySlug", 7}}}}}
            .dump());
    const auto outcome = pass(*emulator, configurationFor(*emulator));
    ASSERT_EQ(outcome.rows.size(), 1u);
    EXPECT_EQ(outcome.rows[0].commonName, "Beta");
    EXPECT_FALSE(outcome.rows[0].signingPolicy);
    EXPECT_FALSE(outcome.rows[0].project);
    EXPECT_EQ(registeredIds(), std::set<std::string>{""});
}

TEST_F(CertificateSyncTest, TheServiceFailingEndsThePassWithTheLoggedMessageAndNothingRegistered) {
    const struct {
        const char* name;
        std::vector<std::string> emulatorArguments;
        const char* apiToken;
        std::string failurePrefix;
    } cases[] = {
        {"401",
         {},
         "wrong-token",
         "Error fetching signing policies: HTTP request failed with status code 401"},
        {"500",
         {"--script", "policies=500"},
         EmulatorProcess::kApiToken,
         "Error fetching signing policies: HTTP request failed with status code 500"},
        {"not an object",
         {"--script", "policies=json-array"},
         EmulatorProcess::kApiToken,
         "Error fetching signing policies: Error parsing JSON data"},
    };
    for (const auto& [name, arguments, apiToken, failurePrefix] : cases) {
        clearLog();
        auto emulatorArguments = arguments;
        emulatorArguments.insert(emulatorArguments.end(), {"--generate", "1", "--key-bits", "1024"});
        const EmulatorProcess emulator(emulatorArguments);
        const auto outcome = pass(emulator, configurationFor(emulator, apiToken));
        ASSERT_TRUE(outcome.failure) << name;
        EXPECT_TRUE(outcome.failure->starts_with(failurePrefix)) << *outcome.failure;
        EXPECT_TRUE(outcome.rows.empty());
        // The HTTP client's own error line comes first.
        const auto lines = problems();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), (RecordedLine{DDLogFlag::error, *outcome.failure})) << name;
        EXPECT_TRUE(registeredIds().empty()) << name;
    }
}

TEST_F(CertificateSyncTest, AnswersWithoutAListOfPolicyObjectsMeanNoSigningPoliciesFound) {
    for (const char* answer : {"{}", R"({"signingPolicies":{}})", R"({"signingPolicies":"none"})",
                               R"({"other":[]})", R"({"signingPolicies":[{"certificateBytes":"AAAA"},1]})"}) {
        clearLog();
        const AnsweringEmulator emulator(answer);
        const auto outcome = pass(*emulator, configurationFor(*emulator));
        EXPECT_EQ(outcome.failure, "No signing policies found.") << answer;
        EXPECT_EQ(problems(), (std::vector<RecordedLine>{{DDLogFlag::error, "No signing policies found."}}))
            << answer;
    }
}

TEST_F(CertificateSyncTest, WithoutAServiceClientNoSigningPoliciesAreFound) {
    const auto outcome = CertificateSync(nullptr, std::nullopt, &service).certificateSync();
    EXPECT_EQ(outcome.failure, "No signing policies found.");
    EXPECT_EQ(problems(), (std::vector<RecordedLine>{{DDLogFlag::error, "No signing policies found."}}));
}

TEST_F(CertificateSyncTest, NothingFoundNamesTheConfiguredSlugsWithNoneForAbsentOnes) {
    const EmulatorProcess emulator({"--generate", "0"});
    auto withSlugs = [&](std::optional<std::string> project, std::optional<std::string> signingPolicy) {
        auto config = configurationFor(emulator);
        config.projectSlug = std::move(project);
        config.signingPolicySlug = std::move(signingPolicy);
        return std::optional<Configuration>(config);
    };
    const struct {
        std::optional<Configuration> config;
        std::string message;
    } cases[] = {
        {withSlugs(std::nullopt, std::nullopt), nothingFound("none", "none")},
        {withSlugs("project-9", ""), nothingFound("project-9", "")},
        {withSlugs("", "policy-9"), nothingFound("", "policy-9")},
        {std::nullopt, nothingFound("none", "none")},
    };
    for (const auto& [config, message] : cases) {
        clearLog();
        const auto outcome = pass(emulator, config);
        EXPECT_FALSE(outcome.failure);
        EXPECT_EQ(problems(), (std::vector<RecordedLine>{{DDLogFlag::error, message}}));
    }
}

// Requests a stop when a given line is logged: a quitting host at a chosen moment of the pass.
class StopOnLine : public DDAbstractLogger {
public:
    StopOnLine() : DDAbstractLogger("stop-on-line") {}
    void logMessage(const DDLogMessage& message) override {
        std::lock_guard lock(mutex_);
        if (message.message == line_) {
            source_.request_stop();
        }
    }
    std::stop_token arm(std::string line) {
        std::lock_guard lock(mutex_);
        line_ = std::move(line);
        source_ = {};
        return source_.get_token();
    }

private:
    std::mutex mutex_;
    std::string line_;
    std::stop_source source_;
};

TEST_F(CertificateSyncTest, AStopDuringThePassPreventsEveryFurtherRegistration) {
    static const auto stopper = [] {
        auto logger = std::make_shared<StopOnLine>();
        DDLog::sharedInstance().addLogger(logger, DDLogLevel::all);
        return logger;
    }();
    const AnsweringEmulator emulator(
        json{{"signingPolicies", {policy("1", certificates->alpha), policy("2", certificates->beta)}}}
            .dump());
    asyncLoggingEnabled = false; // the stop lands while the first registration is being made
    const auto outcome = pass(*emulator, configurationFor(*emulator),
                              stopper->arm("syncing certificates for signing policy id:1"));
    asyncLoggingEnabled = true;
    ASSERT_EQ(outcome.rows.size(), 1u);
    EXPECT_EQ(outcome.rows[0].signingPolicy, "slug-1");
    EXPECT_EQ(registeredIds(), std::set<std::string>{"1"});
    EXPECT_TRUE(problems().empty());
}

} // namespace
} // namespace veltora::test
