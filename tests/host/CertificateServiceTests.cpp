#include "VeltoraCryptoTokenKit/app/CertificateService.h"

#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "tests/host/HostTestSupport.h"

namespace veltora::test {
namespace {

using quillet::TKTokenDriverConfiguration;

std::shared_ptr<TKTokenDriverConfiguration> hostDriver() {
    const auto drivers = TKTokenDriverConfiguration::driverConfigurations();
    EXPECT_EQ(drivers.size(), 1u) << "the module is not built beside the test";
    return drivers.empty() ? nullptr : drivers.begin()->second;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

class CertificateServiceTest : public HostTest {
protected:
    static void SetUpTestSuite() {
        HostTest::SetUpTestSuite();
        key = new KeyPointer(rsaKey());
    }
    static void TearDownTestSuite() { delete key; }

    Configuration config() const {
        Configuration config;
        config.apiUrl = "http://127.0.0.1:1/Api";
        config.organizationId = "org";
        config.apiToken = "secret token";
        config.projectSlug = "";
        config.signingPolicySlug = "";
        config.timeouts.httpRequest = 30.0F;
        config.timeouts.firstRetryDelay = 1.6F;
        config.timeouts.retryCount = 10;
        return config;
    }

    static inline KeyPointer* key = nullptr;
    const CertificateService service{};
};

TEST_F(CertificateServiceTest, RegistersTheCertificateUnderThePolicyIdWithTheConfiguration) {
    const ScopedTimeZone zone("XST-5:45"); // an odd offset from UTC shows any slip into local time
    const Bytes der = certificateFor(key->get(), "Alpha");
    for (const std::string id : {"policy-7", ""}) {
        clearLog();
        const auto row = service.syncCertificate(der, id, config());
        ASSERT_TRUE(row) << id;
        EXPECT_EQ(*row, expectedRow(der, std::nullopt, std::nullopt));
        EXPECT_EQ(row->expires, "2027-03-01 14:05:09 (UTC)");

        const auto tokens = hostDriver()->tokenConfigurations();
        ASSERT_EQ(tokens.count(id), 1u) << id;
        const auto& token = *tokens.at(id);
        ASSERT_TRUE(token.configurationData());
        EXPECT_EQ(*token.configurationData(), bytesOf(config().toJson())); // compact JSON of the record
        const auto decoded = Configuration::fromJson(
            std::string(token.configurationData()->begin(), token.configurationData()->end()));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded.value(), config());
        ASSERT_TRUE(token.certificateItem() && token.keyItem());
        EXPECT_EQ(token.certificateItem()->objectID(), id);
        EXPECT_EQ(token.keyItem()->objectID(), id);
        EXPECT_EQ(token.certificateItem()->data(), der);

        EXPECT_EQ(logged(), (std::vector<RecordedLine>{
                                {DDLogFlag::info, "syncing certificates for signing policy id:" + id},
                                {DDLogFlag::verbose,
                                 "TokenDriver was found and certificate with CN:'Alpha' was created"},
                            }));
    }
}

TEST_F(CertificateServiceTest, CertificatesThatCannotBecomeKeyItemsGiveAnErrorNoRowAndNoItems) {
    const auto ec = ecKey();
    const struct {
        const char* name;
        Bytes der;
        std::string errorPrefix;
    } cases[] = {
        {"not a certificate", bytesOf("not a certificate"), "Failed to create os certificate from data."},
        {"empty", {}, "Failed to create os certificate from data."},
        {"not RSA", certificateFor(ec.get(), "Elliptic"),
         "Failed to create keychain items from certificate: "},
    };
    for (const auto& [name, der, errorPrefix] : cases) {
        clearLog();
        EXPECT_FALSE(service.syncCertificate(der, "id", config())) << name;
        const auto lines = problems();
        ASSERT_EQ(lines.size(), 1u) << name;
        EXPECT_EQ(lines[0].flag, DDLogFlag::error);
        EXPECT_EQ(lines[0].text.rfind(errorPrefix, 0), 0u) << lines[0].text;
        // The registration stays, with its configuration data, until the next clearing.
        const auto tokens = hostDriver()->tokenConfigurations();
        ASSERT_EQ(tokens.count("id"), 1u) << name;
        EXPECT_TRUE(tokens.at("id")->configurationData());
        EXPECT_FALSE(tokens.at("id")->certificateItem() || tokens.at("id")->keyItem()) << name;
    }
}

TEST_F(CertificateServiceTest, ClearingRemovesEveryRegistrationOfEveryDriverConfiguration) {
    std::map<std::string, std::shared_ptr<TKTokenDriverConfiguration>> drivers;
    for (const std::string classID : {"com.example.first", "com.example.second"}) {
        drivers[classID] = std::make_shared<TKTokenDriverConfiguration>(classID, store() / classID);
    }
    for (const auto& [classID, ids] : std::map<std::string, std::vector<std::string>>{
             {"com.example.first", {"a", "b/c"}}, {"com.example.second", {""}}}) {
        for (const auto& id : ids) {
            auto added = drivers.at(classID)->addTokenConfigurationForTokenInstanceID(id);
            ASSERT_TRUE(added) << added.error().description;
            ASSERT_TRUE(added.value()->setConfigurationData(bytesOf("{}")));
        }
    }
    service.clearVeltoraTokens(drivers);
    for (const auto& [classID, driver] : drivers) {
        EXPECT_TRUE(driver->tokenConfigurations().empty()) << classID;
    }
    EXPECT_EQ(logged(), (std::vector<RecordedLine>{
                            {DDLogFlag::verbose, "clearing veltora tokens"},
                            {DDLogFlag::verbose, "found token: a"},
                            {DDLogFlag::verbose, "found token: b/c"},
                            {DDLogFlag::verbose, "found token: "},
                        }));
}

TEST_F(CertificateServiceTest, ClearingRemovesWhatWasRegisteredAndThenFindsNothing) {
    ASSERT_TRUE(service.syncCertificate(certificateFor(key->get(), "Alpha"), "one", config()));
    clearLog();
    service.clearVeltoraTokens();
    EXPECT_TRUE(hostDriver()->tokenConfigurations().empty());
    EXPECT_EQ(logged(), (std::vector<RecordedLine>{{DDLogFlag::verbose, "clearing veltora tokens"},
                                                   {DDLogFlag::verbose, "found token: one"}}));
    clearLog();
    service.clearVeltoraTokens();
    EXPECT_EQ(logged(), (std::vector<RecordedLine>{{DDLogFlag::verbose, "clearing veltora tokens"}}));
}

} // namespace
} // namespace veltora::test
