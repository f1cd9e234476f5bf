#include "tools/emulator/EmulatorOptions.h"

#include <unistd.h>

#include <charconv>
#include <cstdlib>

namespace veltora::emulator {

namespace {

Error usageError(std::string reason) {
    return Error{"emulator", 2, std::move(reason)};
}

Result<int> boundedNumber(const std::string& option, const std::string& text, int low, int high) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return usageError(option + " takes a number from " + std::to_string(low) + " to " +
                          std::to_string(high));
    }
    return value;
}

} // namespace

const char* EmulatorOptions::helpText() {
    return R"(Usage: veltora-service-emulator [options]

A local stand-in of the Veltora signing service for tests, benchmarks and demos.
It listens on 127.0.0.1 only, prints one line with its base URL (ending in /Api)
on standard output when it is ready, and stops on SIGTERM or SIGINT.

Service endpoints (bearer token and organization are checked):
  GET  {base}/v1/{org}/Cryptoki/MySigningPolicies[?ProjectSlug=..&SigningPolicySlug=..]
       {"signingPolicies":[{"signingPolicyId","signingPolicySlug","projectSlug",
       "certificateBytes"}]}, filtered by the given slugs.
  POST {base}/v1/{org}/SigningRequests
       The multipart fast signing request, checked byte for byte; any deviation
       is answered 400 with the reason. The digest is signed with the policy's
       RSA key (PKCS #1 v1.5 for the hash OID: SHA-1, SHA-256, SHA-384,
       SHA-512); the answer is {"Signature":"<base64>"}.
  Wrong or missing token: 401. Unknown organization, policy or path: 404.

Options:
  --port N              port to listen on (default 0: a free port)
  --tls                 serve HTTPS: makes a CA and a certificate for
                        127.0.0.1, ::1 and localhost, writes the CA (PEM) to
                        the --ca-file path
  --ca-file PATH        where --tls writes its CA certificate
                        (default: veltora-emulator-ca-<pid>.pem in $TMPDIR or /tmp)
  --organization ORG    organization id to accept (default test-org)
  --api-token TOKEN     API token to accept (default test-token)
  --generate N          N policies "policy-id-1".. with slugs "policy-1".. in
                        projects "project-1" and "project-2" alternately, each
                        with a self-signed code-signing certificate; at most
                        four distinct RSA keys are made (default 1)
  --policies FILE       policies from a JSON file instead:
                        {"signingPolicies":[{"signingPolicyId":"..",
                        "signingPolicySlug":"..","projectSlug":"..",
                        "privateKeyPem":"..", "certificateBytes":"<base64 DER>",
                        "validDays":N}]}; privateKeyPem (RSA) and
                        certificateBytes are optional and made up when absent;
                        validDays (default 365) may be negative for an expired
                        certificate
  --policies-answer FILE
                        answer every policies request with status 200 and
                        this file's content as it stands, whatever the slugs:
                        for answers the policies above cannot describe
                        (certificate texts that are no Base64, missing keys);
                        signing still uses the policies above
  --key-bits N          size of generated RSA keys (default 2048)
  --latency-ms N        delay before every answer (default 0)
  --connect-delay-ms N  delay of each new connection before its TLS
                        handshake, on top of --latency-ms: the round trips a
                        new connection to a distant service costs (default 0)
  --script ENDPOINT=STEPS
                        scripted answers for ENDPOINT (signing or policies),
                        used up one per request; afterwards the endpoint
                        answers normally. STEPS is a comma-separated list; a
                        step followed by *N is repeated N times:
                          ok                          a normal answer
                          NNN                         that HTTP status (200-599)
                          NNN:not-utf8                that status, body not UTF-8
                          NNN:utf8-bytes-N            that status, a UTF-8 body of N
                                                      bytes (mostly 3-byte characters)
                          NNN:TEXT                    that status, body TEXT
                          hang                        no answer until stopped
                          empty-body                  200, empty body
                          not-json                    200, body not JSON
                          json-array                  200, a JSON array
                          missing-signature           200, object without "Signature"
                          signature-not-string        200, "Signature" a number
                          signature-null              200, "Signature" null
                          signature-with-line-breaks  200, real signature with CR LF
                                                      every 64 characters
                          invalid-base64              200, "Signature" not Base64
                          short-signature:N           200, the first N bytes of the
                                                      real signature
                          wrong-signature             200, a real signature of another
                                                      digest: right length, does not
                                                      verify
                          signature-without-leading-zeros
                                                      200, the real signature without
                                                      the zero bytes it may start with
                          large-body:N                200, {"Signature":"AAAA.."} of N
                                                      bytes (N up to 256 MiB)
                        e.g. --script signing=503*2,ok,429
  --threads N           request threads (default 32)
  --help                this text

Control endpoints (no token), outside {base}:
  PUT    /_emulator/script/signing     body: STEPS, replaces the script
  PUT    /_emulator/script/policies    body: STEPS, replaces the script
  PUT    /_emulator/latency            body: milliseconds
  GET    /_emulator/requests           the last 100 requests received:
                                       [{"method","target","headers":[[name,
                                       value]],"bodyBase64","remotePort"}]
                                       (bodies cut after 1 MiB)
  DELETE /_emulator/requests           forgets them
  GET    /_emulator/connections        {"opened":N}: connections accepted
                                       since the start, this one counted
)";
}

Result<EmulatorOptions> EmulatorOptions::parse(const std::vector<std::string>& arguments) {
    EmulatorOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        const auto takeText = [&](std::string& target) -> Result<void> {
            if (i + 1 >= arguments.size()) {
                return usageError(option + " needs a value");
            }
            target = arguments[++i];
            return {};
        };
        const auto takeNumber = [&](int& target, int low, int high) -> Result<void> {
            std::string text;
            if (auto taken = takeText(text); !taken) {
                return taken;
            }
            auto parsed = boundedNumber(option, text, low, high);
            if (!parsed) {
                return parsed.error();
            }
            target = parsed.value();
            return {};
        };
        const auto takeScript = [&]() -> Result<void> {
            std::string text;
            if (auto taken = takeText(text); !taken) {
                return taken;
            }
            const auto equals = text.find('=');
            auto endpoint = FaultScript::parseEndpoint(std::string_view(text).substr(0, equals));
            if (!endpoint) {
                return usageError("--script: " + endpoint.error().description);
            }
            auto steps = FaultScript::parse(equals == std::string::npos ? "" : text.substr(equals + 1));
            if (!steps) {
                return usageError("--script: " + steps.error().description);
            }
            options.scripts.emplace_back(endpoint.value(), std::move(steps.value()));
            return {};
        };

        Result<void> outcome;
        if (option == "--help" || option == "-h") {
            options.help = true;
        } else if (option == "--tls") {
            options.tls = true;
        } else if (option == "--port") {
            outcome = takeNumber(options.port, 0, 65535);
        } else if (option == "--generate") {
            outcome = takeNumber(options.generatedPolicies, 0, 1000000);
        } else if (option == "--key-bits") {
            outcome = takeNumber(options.keyBits, 1024, 8192);
        } else if (option == "--latency-ms") {
            outcome = takeNumber(options.latencyMilliseconds, 0, 3600000);
        } else if (option == "--connect-delay-ms") {
            outcome = takeNumber(options.connectDelayMilliseconds, 0, 3600000);
        } else if (option == "--threads") {
            outcome = takeNumber(options.threads, 1, 1024);
        } else if (option == "--ca-file") {
            outcome = takeText(options.caFile);
        } else if (option == "--organization") {
            outcome = takeText(options.organization);
        } else if (option == "--api-token") {
            outcome = takeText(options.apiToken);
        } else if (option == "--policies") {
            outcome = takeText(options.policiesFile);
        } else if (option == "--policies-answer") {
            outcome = takeText(options.policiesAnswerFile);
        } else if (option == "--script") {
            outcome = takeScript();
        } else {
            return usageError("unknown option " + option);
        }
        if (!outcome) {
            return outcome.error();
        }
    }
    if (options.tls && options.caFile.empty()) {
        const char* directory = std::getenv("TMPDIR");
        options.caFile = std::string(directory != nullptr && *directory != '\0' ? directory : "/tmp") +
                         "/veltora-emulator-ca-" + std::to_string(getpid()) + ".pem";
    }
    return options;
}

} // namespace veltora::emulator
