#include "Quillet/token/PlainHttpWarning.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "tests/support/RecordingLogger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

namespace quillet {
namespace {

using veltora::DDLog;
using veltora::DDLogFlag;
using veltora::DDLogLevel;

TEST(PlainHttpWarning, OnlyPlainHttpToAnotherMachineIsRemote) {
    struct Case {
        const char* url;
        std::optional<std::string> host;
    };
    const Case cases[] = {
        {"http://127.0.0.1:8080/Api", std::nullopt},
        {"http://127.45.6.7/Api", std::nullopt},
        {"http://localhost:9000/Api", std::nullopt},
        {"http://LOCALHOST/Api", std::nullopt},
        {"http://[::1]:8080/Api", std::nullopt},
        {"https://signing.example.test/Api", std::nullopt},
        {"not a url", std::nullopt},
        {"http://example.test/Api", "example.test"},
        {"HTTP://example.test:8080/Api", "example.test"},
        {"http://128.0.0.1/Api", "128.0.0.1"},
        {"http://[2001:db8::1]/Api", "[2001:db8::1]"},
        {"http://localhost.example.test/Api", "localhost.example.test"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(remotePlainHttpHost(c.url), c.host) << c.url;
    }
}

TEST(PlainHttpWarning, WarnsOncePerHostAndProcess) {
    auto sink = std::make_shared<veltora::test::RecordingLogger>();
    DDLog::sharedInstance().addLogger(sink, DDLogLevel::all);
    for (const char* url :
         {"http://127.0.0.1:1/Api", "https://warned.example.test/Api", "http://warned.example.test/Api",
          "http://warned.example.test:81/Other", "http://localhost/Api"}) {
        warnOfPlainHttp(url);
    }
    DDLog::sharedInstance().flushLog();
    const auto entries = sink->entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].flag, DDLogFlag::warning);
    EXPECT_THAT(entries[0].text, ::testing::HasSubstr("warned.example.test"));
    EXPECT_THAT(entries[0].text, ::testing::HasSubstr("clear text"));
}

} // namespace
} // namespace quillet
