#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "Quillet/platform/TokenStore.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quillet {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class TokenStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("token-store-" + std::to_string(getpid()));
        fs::remove_all(root);
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path driverDirectory() const { return root / "nested" / TKTokenDriverConfiguration::quilletClassID; }

    fs::path root;
};

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST_F(TokenStoreTest, AnyInstanceIdRoundTripsWithItsDataPrivately) {
    const mode_t previous = umask(0277); // what is made must end up 0700 and 0600 whatever the umask
    TKTokenDriverConfiguration driver(TKTokenDriverConfiguration::quilletClassID, driverDirectory());
    const std::vector<std::string> ids = {
        "", "/", "..", "a/../b", "Zertifikat-Ä", std::string("nul\0byte", 8), std::string(300, 'x')};
    for (const auto& id : ids) {
        auto added = driver.addTokenConfigurationForTokenInstanceID(id);
        ASSERT_TRUE(added) << added.error().description;
        ASSERT_TRUE(
            added.value()->setConfigurationData(bytesOf("{\"apiToken\":\"" + id.substr(0, 3) + "\"}")));
    }
    umask(previous);

    const auto stored = driver.tokenConfigurations();
    ASSERT_EQ(stored.size(), ids.size());
    for (const auto& id : ids) {
        ASSERT_EQ(stored.count(id), 1u) << id;
        EXPECT_EQ(stored.at(id)->configurationData(), bytesOf("{\"apiToken\":\"" + id.substr(0, 3) + "\"}"));
        EXPECT_FALSE(stored.at(id)->certificateItem().has_value());
    }

    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const auto permissions = entry.status().permissions() & fs::perms::all;
        EXPECT_EQ(permissions, entry.is_directory() ? fs::perms::owner_all
                                                    : (fs::perms::owner_read | fs::perms::owner_write))
            << entry.path();
    }

    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
    const Bytes der = test::selfSigned(key.get(), "Policy");
    auto certificate = TKTokenKeychainCertificate::make(der, "/");
    auto keyItem = TKTokenKeychainKey::make(der, "/");
    ASSERT_TRUE(certificate && keyItem);
    ASSERT_TRUE(stored.at("/")->setKeychainItems(certificate.value(), keyItem.value()));
    const auto reread = driver.tokenConfigurations().at("/");
    ASSERT_TRUE(reread->certificateItem() && reread->keyItem());
    EXPECT_EQ(reread->certificateItem()->data(), der);
    EXPECT_EQ(reread->keyItem()->objectID(), "/");
    EXPECT_EQ(reread->keyItem()->modulus(), keyItem.value().modulus());
    EXPECT_EQ(reread->configurationData(), stored.at("/")->configurationData());

    ASSERT_TRUE(driver.removeTokenConfigurationForTokenInstanceID("/"));
    ASSERT_TRUE(driver.removeTokenConfigurationForTokenInstanceID("never there"));
    EXPECT_EQ(driver.tokenConfigurations().count("/"), 0u);
    EXPECT_EQ(driver.tokenConfigurations().size(), ids.size() - 1);
}

// Signing decodes a registration's configuration data once and shares that
// with the copies; new data must always be decoded anew.
TEST_F(TokenStoreTest, TheDecodedConfigurationFollowsTheData) {
    const auto configurationWithToken = [](const std::string& token) {
        veltora::Configuration configuration;
        configuration.apiToken = token;
        return bytesOf(configuration.toJson());
    };
    const auto tokenOf = [](const TKTokenConfiguration& registration) -> std::string {
        const auto& decoded = registration.decodedConfiguration();
        return decoded ? decoded.value().apiToken.value_or("none") : "not decodable";
    };
    TKTokenDriverConfiguration driver(TKTokenDriverConfiguration::quilletClassID, driverDirectory());
    auto added = driver.addTokenConfigurationForTokenInstanceID("policy");
    ASSERT_TRUE(added);
    EXPECT_EQ(tokenOf(*added.value()), "not decodable"); // no data yet
    ASSERT_TRUE(added.value()->setConfigurationData(configurationWithToken("first")));
    const auto read = driver.tokenConfigurations().at("policy");
    EXPECT_EQ(tokenOf(*read), "first");
    const TKTokenConfiguration copy = *read;

    ASSERT_TRUE(read->setConfigurationData(configurationWithToken("second")));
    EXPECT_EQ(tokenOf(*read), "second");
    EXPECT_EQ(tokenOf(copy), "first");
    for (int reading = 0; reading < 2; ++reading) { // read, then taken from the decoded registrations
        EXPECT_EQ(tokenOf(*driver.tokenConfigurations().at("policy")), "second");
    }
    ASSERT_TRUE(read->setConfigurationData(bytesOf("{\"apiUrl\":")));
    EXPECT_EQ(tokenOf(*driver.tokenConfigurations().at("policy")), "not decodable");
}

TEST_F(TokenStoreTest, ARegistrationTooLargeForReadersIsRefusedAndTheReadableOneStays) {
    TKTokenDriverConfiguration driver(TKTokenDriverConfiguration::quilletClassID, driverDirectory());
    auto added = driver.addTokenConfigurationForTokenInstanceID("large");
    ASSERT_TRUE(added) << added.error().description;
    EXPECT_FALSE(added.value()->setConfigurationData(Bytes(4 * 1024 * 1024, 'x')));

    const auto stored = driver.tokenConfigurations();
    ASSERT_EQ(stored.count("large"), 1u);
    EXPECT_FALSE(stored.at("large")->configurationData());
    ASSERT_TRUE(driver.removeTokenConfigurationForTokenInstanceID("large"));
    EXPECT_TRUE(fs::is_empty(driverDirectory()));
}

TEST_F(TokenStoreTest, ARewrittenRegistrationIsReadWithItsNewCertificate) {
    TKTokenDriverConfiguration driver(TKTokenDriverConfiguration::quilletClassID, driverDirectory());
    TKTokenDriverConfiguration elsewhere(TKTokenDriverConfiguration::quilletClassID, root / "elsewhere");
    const auto registerWith = [](TKTokenDriverConfiguration& store, const std::string& commonName) {
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(1024), EVP_PKEY_free);
        const Bytes der = test::selfSigned(key.get(), commonName);
        auto added = store.addTokenConfigurationForTokenInstanceID("policy");
        ASSERT_TRUE(added);
        ASSERT_TRUE(added.value()->setKeychainItems(TKTokenKeychainCertificate::make(der, "policy").value(),
                                                    TKTokenKeychainKey::make(der, "policy").value()));
    };
    const auto label = [](TKTokenDriverConfiguration& store) {
        return store.tokenConfigurations().at("policy")->certificateItem()->label().value_or("");
    };
    registerWith(driver, "First");
    EXPECT_EQ(label(driver), "First");
    EXPECT_EQ(label(driver), "First"); // read again, unchanged
    registerWith(driver, "Second");
    EXPECT_EQ(label(driver), "Second");
    // The same instance ID in another store is another registration.
    registerWith(elsewhere, "Third");
    EXPECT_EQ(label(elsewhere), "Third");
    EXPECT_EQ(label(driver), "Second");
}

// Reads skip a file whose status shows it unchanged since it was decoded;
// every kind of change must still show at once, to the listing and to the
// lookup of one registration: also one that keeps the file's size and inode,
// an edit that a text editor makes in place, made just after the last write
// (in the same tick of the file system's clock) or a while later.
TEST_F(TokenStoreTest, ChangesShowAtOnce) {
    struct Case {
        const char* name;
        std::chrono::milliseconds quiet; // between the first write and the reads before the edit
    };
    for (const Case& row : {Case{"just written", std::chrono::milliseconds(0)},
                            Case{"settled", std::chrono::milliseconds(50)}}) {
        SCOPED_TRACE(row.name);
        fs::remove_all(root);
        TKTokenDriverConfiguration driver(TKTokenDriverConfiguration::quilletClassID, driverDirectory());
        const auto data = [&driver](const std::string& id) {
            const auto listed = driver.tokenConfigurations().at(id)->configurationData();
            EXPECT_EQ(listed, driver.tokenConfiguration(id)->configurationData());
            return listed;
        };
        auto added = driver.addTokenConfigurationForTokenInstanceID("policy");
        ASSERT_TRUE(added);
        ASSERT_TRUE(added.value()->setConfigurationData(bytesOf("first")));
        std::this_thread::sleep_for(row.quiet);
        ASSERT_EQ(data("policy"), bytesOf("first"));
        ASSERT_EQ(data("policy"), bytesOf("first"));

        const fs::path file = driverDirectory() / TokenStore::fileNameFor("policy");
        struct stat before {};
        ASSERT_EQ(::stat(file.c_str(), &before), 0);
        std::string text;
        std::getline(std::ifstream(file), text, '\0');
        const auto base64 = text.find("Zmlyc3Q="); // "first"
        ASSERT_NE(base64, std::string::npos);
        text.replace(base64, 8, "c2Vjb25k"); // "second", as long
        std::fstream(file, std::ios::in | std::ios::out) << text;
        struct stat after {};
        ASSERT_EQ(::stat(file.c_str(), &after), 0);
        ASSERT_EQ(after.st_ino, before.st_ino);
        ASSERT_EQ(after.st_size, before.st_size);
        EXPECT_EQ(data("policy"), bytesOf("second"));

        ASSERT_TRUE(added.value()->setConfigurationData(bytesOf("third")));
        EXPECT_EQ(data("policy"), bytesOf("third"));
        ASSERT_TRUE(driver.addTokenConfigurationForTokenInstanceID("other"));
        EXPECT_EQ(driver.tokenConfigurations().size(), 2u);
        ASSERT_TRUE(driver.removeTokenConfigurationForTokenInstanceID("policy"));
        EXPECT_EQ(driver.tokenConfigurations().count("policy"), 0u);
        EXPECT_EQ(driver.tokenConfiguration("policy"), nullptr);
    }
}

// Signing looks up its registration by the file its instance ID names; it
// must find what a walk of the whole store finds, and nothing else.
TEST_F(TokenStoreTest, OneRegistrationIsReadFromItsOwnFile) {
    TKTokenDriverConfiguration driver(TKTokenDriverConfiguration::quilletClassID, driverDirectory());
    EXPECT_EQ(driver.tokenConfiguration("policy"), nullptr) << "no store yet";
    for (const std::string& id : std::vector<std::string>{"policy", "other", std::string(300, 'x')}) {
        auto added = driver.addTokenConfigurationForTokenInstanceID(id);
        ASSERT_TRUE(added);
        ASSERT_TRUE(added.value()->setConfigurationData(bytesOf("data of " + id)));
    }
    // A file put there by hand under another registration's name, and one that is no registration.
    fs::copy_file(driverDirectory() / TokenStore::fileNameFor("other"),
                  driverDirectory() / TokenStore::fileNameFor("misnamed"));
    std::ofstream(driverDirectory() / TokenStore::fileNameFor("corrupt")) << "{\"instanceID\":";

    struct Case {
        std::string id;
        std::optional<std::string> data;
    };
    for (const Case& row :
         {Case{"policy", "data of policy"}, Case{std::string(300, 'x'), "data of " + std::string(300, 'x')},
          Case{"unregistered", std::nullopt}, Case{"misnamed", std::nullopt},
          Case{"corrupt", std::nullopt}}) {
        SCOPED_TRACE(row.id.substr(0, 20));
        const auto listed = driver.tokenConfigurations();
        const auto found = driver.tokenConfiguration(row.id);
        EXPECT_EQ(found != nullptr, listed.count(row.id) == 1);
        ASSERT_EQ(found != nullptr, row.data.has_value());
        if (found) {
            EXPECT_EQ(found->instanceID(), row.id);
            EXPECT_EQ(found->configurationData(), bytesOf(*row.data));
        }
    }
}

TEST_F(TokenStoreTest, UnreadableEntriesAreSkippedAndLinksAreNotFollowed) {
    TKTokenDriverConfiguration driver(TKTokenDriverConfiguration::quilletClassID, driverDirectory());
    ASSERT_TRUE(driver.addTokenConfigurationForTokenInstanceID("good"));
    std::ofstream(driverDirectory() / TokenStore::fileNameFor("corrupt")) << "{\"instanceID\":";
    std::ofstream(driverDirectory() / TokenStore::fileNameFor("odd"))
        << R"({"instanceID":"6f6464","certificate":"AAAA",
        "certificateObjectID":"6f6464","keyObjectID":"6f6464"})";
    fs::create_symlink("/etc/passwd", driverDirectory() / TokenStore::fileNameFor("link"));
    const auto stored = driver.tokenConfigurations();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored.begin()->first, "good");

    // A driver directory that is a link out of the store is refused for writing.
    const fs::path elsewhere = root / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directories(root / "linked");
    fs::create_directory_symlink(elsewhere, root / "linked" / "driver");
    TKTokenDriverConfiguration linked(TKTokenDriverConfiguration::quilletClassID, root / "linked" / "driver");
    EXPECT_FALSE(linked.addTokenConfigurationForTokenInstanceID("x"));
    EXPECT_TRUE(fs::is_empty(elsewhere));

    // A link on the way to the store (a home directory elsewhere, say) is the user's own and is followed.
    fs::create_directory_symlink(elsewhere, root / "home");
    TKTokenDriverConfiguration throughHome(TKTokenDriverConfiguration::quilletClassID,
                                           root / "home" / "driver");
    EXPECT_TRUE(throughHome.addTokenConfigurationForTokenInstanceID("x"));
    EXPECT_EQ(throughHome.tokenConfigurations().count("x"), 1u);
    EXPECT_TRUE(fs::is_regular_file(elsewhere / "driver" / TokenStore::fileNameFor("x")));
}

TEST_F(TokenStoreTest, ReadersNeverSeeAHalfWrittenRegistration) {
    TKTokenDriverConfiguration driver(TKTokenDriverConfiguration::quilletClassID, driverDirectory());
    auto added = driver.addTokenConfigurationForTokenInstanceID("policy");
    ASSERT_TRUE(added);
    auto registration = added.value();
    const Bytes small = bytesOf("small");
    const Bytes large(100000, 'L');
    ASSERT_TRUE(registration->setConfigurationData(small));

    std::atomic<bool> writing{true};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (writing) {
            for (const auto& [id, configuration] : driver.tokenConfigurations()) {
                const auto& data = configuration->configurationData();
                if (!data || (*data != small && *data != large)) {
                    ++torn;
                }
            }
        }
    });
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(registration->setConfigurationData(i % 2 ? small : large));
        if (i % 25 == 24) {
            ASSERT_TRUE(driver.removeTokenConfigurationForTokenInstanceID("policy"));
            ASSERT_TRUE(registration->setConfigurationData(small));
        }
    }
    writing = false;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

} // namespace
} // namespace quillet
