#pragma once

#include "VeltoraCryptoTokenKit/app/Certificate.h"
#include "VeltoraCryptoTokenKit/config/Configuration.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"
#include "tests/support/EmulatorProcess.h"
#include "tests/support/RecordingLogger.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace veltora::test {

using Bytes = std::vector<std::uint8_t>;
using KeyPointer = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

inline void PrintTo(const RecordedLine& line, std::ostream* out) {
    *out << "{flag " << static_cast<unsigned>(line.flag) << ", \"" << line.text << "\"}";
}

inline KeyPointer rsaKey() {
    return {EVP_RSA_gen(1024), EVP_PKEY_free};
}

inline KeyPointer ecKey() {
    return {EVP_EC_gen("P-256"), EVP_PKEY_free};
}

// Certificates of the host tests expire at a fixed instant: 2027-03-01 14:05:09 UTC.
inline Bytes certificateFor(EVP_PKEY* key, const std::string& commonName) {
    return quillet::test::selfSigned(key, commonName, "20270301140509Z");
}

inline std::string base64Of(const Bytes& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    text.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                         bytes.data(), static_cast<int>(bytes.size()))));
    return text;
}

// The row the host should show for a certificate, worked out here with OpenSSL alone.
inline Certificate expectedRow(const Bytes& der, std::optional<std::string> project,
                               std::optional<std::string> signingPolicy) {
    const unsigned char* cursor = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        d2i_X509(nullptr, &cursor, static_cast<long>(der.size())), X509_free);
    Certificate row;
    if (!certificate) {
        ADD_FAILURE() << "not a certificate";
        return row;
    }
    char name[256] = {};
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(certificate.get()), NID_commonName, name,
                                  sizeof name) >= 0) {
        row.commonName = name;
    } else {
        row.commonName = X509_NAME_oneline(X509_get_subject_name(certificate.get()), name, sizeof name);
    }
    const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(certificate.get());
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(ASN1_STRING_get0_data(bits), static_cast<std::size_t>(ASN1_STRING_length(bits)), digest);
    std::string hex;
    for (const unsigned char byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    row.fingerprint = hex;
    // ISO 8601 printing gives "2027-03-01 14:05:09Z".
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
    ASN1_TIME_print_ex(out.get(), X509_get0_notAfter(certificate.get()), ASN1_DTFLGS_ISO8601);
    char* text = nullptr;
    const long length = BIO_get_mem_data(out.get(), &text);
    const std::string iso(text, static_cast<std::size_t>(length));
    row.expires = iso.substr(0, 19) + " (UTC)";
    row.project = std::move(project);
    row.signingPolicy = std::move(signingPolicy);
    return row;
}

// A configuration for the emulator with quick failures and no slug filter.
inline Configuration configurationFor(const EmulatorProcess& emulator,
                                      const std::string& apiToken = EmulatorProcess::kApiToken) {
    Configuration config;
    config.apiUrl = emulator.baseUrl();
    config.organizationId = EmulatorProcess::kOrganization;
    config.apiToken = apiToken;
    config.projectSlug = "";
    config.signingPolicySlug = "";
    config.timeouts.httpRequest = 5.0F;
    config.timeouts.firstRetryDelay = 0.01F;
    config.timeouts.retryCount = 2;
    config.logLevel = "verbose";
    return config;
}

// Sets TZ for a scope, so that a slip into local time shows.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* saved = std::getenv("TZ")) {
            saved_ = saved;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> saved_;
};

// An emulator whose policies answer is exactly the given JSON text.
class AnsweringEmulator {
public:
    explicit AnsweringEmulator(const std::string& answer)
        : file_(std::filesystem::temp_directory_path() /
                ("host-policies-" + std::to_string(getpid()) + "-" + std::to_string(counter_++) + ".json")) {
        std::ofstream(file_) << answer;
        emulator_ = std::make_unique<EmulatorProcess>(
            std::vector<std::string>{"--generate", "0", "--policies-answer", file_.string()});
    }
    ~AnsweringEmulator() { std::filesystem::remove(file_); }
    const EmulatorProcess& operator*() const { return *emulator_; }

private:
    static inline int counter_ = 0;
    std::filesystem::path file_;
    std::unique_ptr<EmulatorProcess> emulator_;
};

// Every test gets an empty registration store of its own and a fresh log record.
class HostTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static const auto sharedRecorder = [] {
            auto logger = std::make_shared<RecordingLogger>();
            DDLog::sharedInstance().addLogger(logger, DDLogLevel::all);
            return logger;
        }();
        recorder = sharedRecorder;
    }
    void SetUp() override {
        store_ = std::filesystem::temp_directory_path() /
                 ("host-store-" + std::to_string(getpid()) + "-" + std::to_string(storeCounter_++));
        std::filesystem::remove_all(store_);
        setenv("VELTORA_TOKEN_STORE", store_.c_str(), 1);
        clearLog();
    }
    void TearDown() override {
        unsetenv("VELTORA_TOKEN_STORE");
        std::filesystem::remove_all(store_);
    }

    // Forgets every line so far, the asynchronous ones still on their way included.
    static void clearLog() {
        DDLog::sharedInstance().flushLog();
        recorder->clear();
    }
    static std::vector<RecordedLine> logged() {
        DDLog::sharedInstance().flushLog();
        return recorder->entries();
    }
    // Only the warning and error lines, which tell what went wrong.
    static std::vector<RecordedLine> problems() {
        std::vector<RecordedLine> found;
        for (auto& line : logged()) {
            if (line.flag == DDLogFlag::error || line.flag == DDLogFlag::warning) {
                found.push_back(std::move(line));
            }
        }
        return found;
    }
    const std::filesystem::path& store() const { return store_; }

    static inline std::shared_ptr<RecordingLogger> recorder;

private:
    static inline int storeCounter_ = 0;
    std::filesystem::path store_;
};

} // namespace veltora::test
