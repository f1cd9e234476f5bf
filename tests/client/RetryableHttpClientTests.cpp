#include "VeltoraCryptoTokenKit/client/RetryableHttpClient.h"
#include "VeltoraCryptoTokenKit/client/TransportError.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "tests/support/EmulatorProcess.h"
#include "tests/support/RecordingLogger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

namespace veltora {
namespace {

using test::EmulatorProcess;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

constexpr float kShortDelay = 0.001f;

HttpRequest policiesRequest(const std::string& baseUrl) {
    HttpRequest request;
    request.url = baseUrl + "/v1/test-org/Cryptoki/MySigningPolicies";
    request.setHeader("Authorization", "Bearer test-token");
    return request;
}

// A sink that collects this test's lines.
std::shared_ptr<test::RecordingLogger> captureLog() {
    auto sink = std::make_shared<test::RecordingLogger>();
    DDLog::sharedInstance().addLogger(sink, DDLogLevel::all);
    return sink;
}

std::vector<std::string> linesOf(const test::RecordingLogger& sink) {
    DDLog::sharedInstance().flushLog();
    return sink.lines();
}

std::vector<std::string> linesStartingWith(const test::RecordingLogger& sink, std::string_view prefix) {
    std::vector<std::string> matching;
    for (auto& line : linesOf(sink)) {
        if (line.starts_with(prefix)) {
            matching.push_back(line);
        }
    }
    return matching;
}

Error statusError(std::int64_t status, const std::string& body) {
    return Error{"RetryableHttpClient", status,
                 "HTTP request failed with status code " + std::to_string(status) + " " + body};
}

// A loopback port nobody listens on.
int closedPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

TEST(RetryableHttpClientTest, RetriesAnOverloadedServiceAndReturnsTheFirstSuccessfulBody) {
    EmulatorProcess emulator({"--script", "policies=503,ok"});
    auto sink = captureLog();
    const RetryableHttpClient client(10.0f, kShortDelay, 3);
    HttpRequest request = policiesRequest(emulator.baseUrl());
    request.setHeader("User-Agent", "caller's own");
    const HttpRequest original = request;

    const auto body = client.performRequest(request);
    ASSERT_TRUE(body.ok()) << body.error().description;
    EXPECT_TRUE(nlohmann::json::parse(body.value()).contains("signingPolicies"));
    EXPECT_EQ(request.headers, original.headers);

    EXPECT_THAT(linesStartingWith(*sink, "HTTP error"),
                ElementsAre(MatchesRegex(R"(HTTP error: 503\. Retrying in [0-9]+\.[0-9]{6} seconds\.\.\.)")));
    EXPECT_THAT(linesStartingWith(*sink, "Calling URL"),
                ElementsAre("Calling URL Optional(" + request.url + "), attempt 1 of 3",
                            "Calling URL Optional(" + request.url + "), attempt 2 of 3"));
    EXPECT_THAT(linesStartingWith(*sink, "Received data: "),
                ElementsAre("Received data: " + std::to_string(body.value().size()) + " bytes"));

    const auto received = emulator.requests();
    ASSERT_EQ(received.size(), 2u);
    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    const std::string userAgent = EmulatorProcess::header(received[1], "User-Agent");
    EXPECT_EQ(userAgent, client.getUserAgentString());
    EXPECT_THAT(userAgent,
                MatchesRegex("Veltora\\.Tokenwright/" VELTORA_VERSION " \\(" + std::string(names.sysname) +
                             " [0-9]+\\.[0-9]+\\.[0-9]+; " + names.machine + "\\)"));
}

TEST(RetryableHttpClientTest, RetriesOnlyOverloadAndGatewayStatuses) {
    EmulatorProcess emulator;
    auto sink = captureLog();
    const RetryableHttpClient client(10.0f, kShortDelay, 5);
    const HttpRequest request = policiesRequest(emulator.baseUrl());

    emulator.script("policies", "429,502,504,ok");
    EXPECT_TRUE(client.performRequest(request).ok());
    EXPECT_EQ(emulator.requests().size(), 4u);

    for (const int status : {408, 500, 501, 401}) {
        emulator.clearRequests();
        emulator.script("policies", std::to_string(status) + ",ok");
        const auto failed = client.performRequest(request);
        ASSERT_FALSE(failed.ok()) << status;
        EXPECT_EQ(failed.error(), statusError(status, "emulated status " + std::to_string(status)));
        EXPECT_EQ(emulator.requests().size(), 1u) << status;
    }
    EXPECT_THAT(linesStartingWith(*sink, "HTTP Request failed"),
                ElementsAre("HTTP Request failed with status code 408 emulated status 408",
                            "HTTP Request failed with status code 500 emulated status 500",
                            "HTTP Request failed with status code 501 emulated status 501",
                            "HTTP Request failed with status code 401 emulated status 401"));
}

TEST(RetryableHttpClientTest, GivesUpAfterRetryCountAttempts) {
    EmulatorProcess emulator;
    auto sink = captureLog();
    const HttpRequest request = policiesRequest(emulator.baseUrl());

    emulator.script("policies", "503*3,ok");
    const auto exhausted = RetryableHttpClient(10.0f, kShortDelay, 3).performRequest(request);
    ASSERT_FALSE(exhausted.ok());
    EXPECT_EQ(exhausted.error(), (Error{"RetryableHttpClient", errors::http::kRetriesExhausted,
                                        "Request failed after 3 attempts."}));
    EXPECT_EQ(emulator.requests().size(), 3u);
    EXPECT_EQ(linesStartingWith(*sink, "HTTP error").size(), 2u);

    // One attempt: no wait and no warning.
    emulator.clearRequests();
    emulator.script("policies", "503,ok");
    const auto single = RetryableHttpClient(10.0f, 1000.0f, 1).performRequest(request);
    ASSERT_FALSE(single.ok());
    EXPECT_EQ(single.error(), (Error{"RetryableHttpClient", errors::http::kRetriesExhausted,
                                     "Request failed after 1 attempts."}));
    EXPECT_EQ(emulator.requests().size(), 1u);
    EXPECT_EQ(linesStartingWith(*sink, "HTTP error").size(), 2u);

    // No attempt allowed: nothing is sent.
    emulator.clearRequests();
    for (const std::int64_t count : {0, -5}) {
        const auto none = RetryableHttpClient(10.0f, kShortDelay, count).performRequest(request);
        ASSERT_FALSE(none.ok());
        EXPECT_EQ(none.error().code, errors::http::kRetriesExhausted);
        EXPECT_EQ(none.error().description, "Request failed after " + std::to_string(count) + " attempts.");
    }
    EXPECT_TRUE(emulator.requests().empty());
}

TEST(RetryableHttpClientTest, HandlesEmptyAndUndecodableBodies) {
    EmulatorProcess emulator({"--script", "policies=204,404:not-utf8"});
    const RetryableHttpClient client(10.0f, kShortDelay, 3);
    const HttpRequest request = policiesRequest(emulator.baseUrl());

    const auto empty = client.performRequest(request);
    ASSERT_TRUE(empty.ok()) << empty.error().description;
    EXPECT_EQ(empty.value(), "");

    const auto notFound = client.performRequest(request);
    ASSERT_FALSE(notFound.ok());
    EXPECT_EQ(notFound.error(), statusError(404, ""));
}

TEST(RetryableHttpClientTest, LongErrorBodiesAreCutToAnExcerptWithTheCountLeftOut) {
    // "NNN:utf8-bytes-N": N bytes of euro signs (three bytes each), "x" to fill.
    struct Case {
        long status;
        std::size_t bytes;
        std::string text; // as the error and the log line show the body
    };
    const std::string euros1365 = [] {
        std::string text;
        for (int i = 0; i < 1365; ++i) {
            text += "\xE2\x82\xAC";
        }
        return text;
    }();
    const Case cases[] = {
        {500, 4096, euros1365 + "x"},                              // fits whole
        {500, 4097, euros1365 + "x... (1 bytes left out)"},        // cut after a whole character
        {404, 1000000, euros1365 + "... (995905 bytes left out)"}, // cut before a split one
    };
    std::string steps;
    for (const Case& row : cases) {
        steps += (steps.empty() ? "" : ",") + std::to_string(row.status) + ":utf8-bytes-" +
                 std::to_string(row.bytes);
    }
    EmulatorProcess emulator({"--script", "policies=" + steps});
    const RetryableHttpClient client(10.0f, kShortDelay, 3);
    for (const Case& row : cases) {
        auto sink = captureLog();
        const auto failed = client.performRequest(policiesRequest(emulator.baseUrl()));
        ASSERT_FALSE(failed.ok()) << row.bytes;
        EXPECT_EQ(failed.error(), statusError(row.status, row.text)) << row.bytes;
        EXPECT_THAT(linesStartingWith(*sink, "HTTP Request failed"),
                    ElementsAre("HTTP Request failed with status code " + std::to_string(row.status) + " " +
                                row.text))
            << row.bytes;
    }
}

TEST(RetryableHttpClientTest, TransportFailuresPassThroughWithoutRetry) {
    auto sink = captureLog();
    const RetryableHttpClient client(10.0f, kShortDelay, 5);
    HttpRequest refused = policiesRequest("http://127.0.0.1:" + std::to_string(closedPort()) + "/Api");
    const auto notConnected = client.performRequest(refused);
    ASSERT_FALSE(notConnected.ok());
    EXPECT_EQ(notConnected.error().domain, "libcurl");
    EXPECT_EQ(notConnected.error().code, CURLE_COULDNT_CONNECT);
    EXPECT_THAT(notConnected.error().description, ::testing::StartsWith("libcurl error 7: "));
    EXPECT_EQ(linesStartingWith(*sink, "Calling URL").size(), 1u);

    // The session's timeout bounds each attempt.
    EmulatorProcess slow({"--latency-ms", "5000"});
    const auto started = std::chrono::steady_clock::now();
    const auto timedOut =
        RetryableHttpClient(0.3f, kShortDelay, 5).performRequest(policiesRequest(slow.baseUrl()));
    ASSERT_FALSE(timedOut.ok());
    EXPECT_EQ(timedOut.error().domain, "libcurl");
    EXPECT_EQ(timedOut.error().code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4500));
    EXPECT_EQ(slow.requests().size(), 1u);

    // A request header cannot smuggle in another header line.
    HttpRequest smuggling = policiesRequest(slow.baseUrl());
    smuggling.setHeader("Authorization", "Bearer x\r\nX-Injected: yes");
    const auto refusedHeader = client.performRequest(smuggling);
    ASSERT_FALSE(refusedHeader.ok());
    EXPECT_EQ(refusedHeader.error().code, CURLE_BAD_FUNCTION_ARGUMENT);
    HttpRequest badMethod = policiesRequest(slow.baseUrl());
    badMethod.method = "GET / HTTP/1.0\r\n";
    const auto refusedMethod = client.performRequest(badMethod);
    ASSERT_FALSE(refusedMethod.ok());
    EXPECT_EQ(refusedMethod.error().code, CURLE_BAD_FUNCTION_ARGUMENT);
    EXPECT_EQ(slow.requests().size(), 1u);
}

TEST(RetryableHttpClientTest, CancellationEndsWaitsAndExchanges) {
    EmulatorProcess emulator({"--script", "policies=503,ok,hang"});
    // j pinned to 1: the first wait would be about 137 seconds.
    const RetryableHttpClient client(60.0f, 100.0f, 3, [] { return BackoffWait::kRandomRange; });
    const HttpRequest request = policiesRequest(emulator.baseUrl());

    for (int round = 0; round < 2; ++round) { // waiting between attempts, then in flight ("hang")
        std::stop_source source;
        std::jthread canceller([&source] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            source.request_stop();
        });
        const auto started = std::chrono::steady_clock::now();
        const auto cancelled = client.performRequest(request, source.get_token());
        ASSERT_FALSE(cancelled.ok()) << round;
        EXPECT_EQ(cancelled.error(), cancellationError()) << round;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30)) << round;
        if (round == 0) {
            emulator.script("policies", "hang");
        }
    }
}

} // namespace
} // namespace veltora
