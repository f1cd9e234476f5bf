#include "tools/emulator/ServiceEmulator.h"

#include "tools/emulator/Base64.h"
#include "tools/emulator/CertificateFactory.h"
#include "tools/emulator/ConnectionQueue.h"
#include "tools/emulator/DigestSigner.h"
#include "tools/emulator/SigningRequestParser.h"

#include <httplib.h>
#include <strings.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace veltora::emulator {

namespace {

constexpr const char* kLoopback = "127.0.0.1";
// httplib reads a multipart body through its own form parser, which does not
// accept the "; charset=utf-8" after the boundary. The emulator wants the raw
// bytes anyway: the content type is parked under this name before the body is
// read and restored when the request is recorded.
constexpr const char* kParkedContentType = "X-Emulator-Parked-Content-Type";
constexpr std::chrono::minutes kLongestHang{10};
constexpr std::size_t kMaxRequestBytes = 16u * 1024u * 1024u;
// The request log keeps the beginning of each body only, to stay small.
constexpr std::size_t kMaxRecordedBodyBytes = 1024u * 1024u;

void answerText(httplib::Response& response, int status, const std::string& text) {
    response.status = status;
    response.set_content(text, "text/plain; charset=utf-8");
}

void answerJson(httplib::Response& response, const nlohmann::json& value) {
    response.status = 200;
    response.set_content(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                         "application/json");
}

std::string withLineBreaks(const std::string& text) {
    std::string wrapped;
    for (std::size_t i = 0; i < text.size(); i += 64) {
        wrapped += text.substr(i, 64);
        if (i + 64 < text.size()) {
            wrapped += "\r\n";
        }
    }
    return wrapped;
}

// A text of exactly that many bytes, valid UTF-8, mostly three-byte characters
// so that a cut at any length may fall inside one.
std::string utf8Text(std::size_t bytes) {
    std::string text;
    text.reserve(bytes);
    while (text.size() + 3 <= bytes) {
        text += "\xE2\x82\xAC"; // the euro sign
    }
    text.append(bytes - text.size(), 'x');
    return text;
}

// {"Signature":"AAAA..."} of exactly that many bytes (at least the frame's 16).
std::string jsonOfSize(std::size_t bytes) {
    const std::string head = R"({"Signature":")";
    const std::string tail = R"("})";
    const std::size_t frame = head.size() + tail.size();
    return head + std::string(bytes > frame ? bytes - frame : 0, 'A') + tail;
}

// The digest with its first bit turned: what the real one is never signed as.
std::string otherDigest(std::string digest) {
    if (!digest.empty()) {
        digest[0] = static_cast<char>(digest[0] ^ 0x80);
    }
    return digest;
}

// Answers a scripted fault; false for the steps that need the real answer.
bool answerFault(const FaultStep& step, httplib::Response& response) {
    using Kind = FaultStep::Kind;
    switch (step.kind) {
    case Kind::status:
        response.status = step.status;
        response.set_content(step.bytes > 0 ? utf8Text(step.bytes) : step.body, "text/plain");
        return true;
    case Kind::largeBody:
        response.status = 200;
        response.set_content(jsonOfSize(step.bytes), "application/json");
        return true;
    case Kind::emptyBody:
        response.status = 200;
        response.set_content("", "application/json");
        return true;
    case Kind::notJson:
        answerText(response, 200, "this is not JSON");
        return true;
    case Kind::jsonArray:
        response.status = 200;
        response.set_content(R"(["not","an","object"])", "application/json");
        return true;
    case Kind::missingSignature:
        response.status = 200;
        response.set_content(R"({"signature":"c2lnbmF0dXJl","Result":"signed"})", "application/json");
        return true;
    case Kind::signatureNotString:
        response.status = 200;
        response.set_content(R"({"Signature":12345})", "application/json");
        return true;
    case Kind::signatureNull:
        response.status = 200;
        response.set_content(R"({"Signature":null})", "application/json");
        return true;
    case Kind::invalidBase64:
        response.status = 200;
        response.set_content(R"({"Signature":"not*valid*base64!"})", "application/json");
        return true;
    case Kind::normal:
    case Kind::hang:
    case Kind::signatureWithLineBreaks:
    case Kind::shortSignature:
    case Kind::wrongSignature:
    case Kind::unpaddedSignature:
        return false;
    }
    return false;
}

} // namespace

// Counts an answer as in progress for as long as it lives.
class AnswerInProgress {
public:
    explicit AnswerInProgress(ServiceEmulator& emulator) : emulator_(emulator) {
        std::lock_guard lock(emulator_.stopMutex_);
        ++emulator_.answersInProgress_;
    }
    ~AnswerInProgress() {
        {
            std::lock_guard lock(emulator_.stopMutex_);
            --emulator_.answersInProgress_;
        }
        emulator_.stopSignal_.notify_all();
    }
    AnswerInProgress(const AnswerInProgress&) = delete;
    AnswerInProgress& operator=(const AnswerInProgress&) = delete;

private:
    ServiceEmulator& emulator_;
};

ServiceEmulator::ServiceEmulator(EmulatorOptions options, PolicyCatalog catalog)
    : options_(std::move(options)), catalog_(std::move(catalog)) {
    script_.latencyMilliseconds = options_.latencyMilliseconds;
    for (auto& [endpoint, steps] : options_.scripts) {
        script_.replace(endpoint, steps);
    }
    if (!options_.policiesAnswerFile.empty()) {
        std::ifstream file(options_.policiesAnswerFile, std::ios::binary);
        if (!file) {
            throw std::runtime_error("cannot read " + options_.policiesAnswerFile);
        }
        policiesAnswer_.emplace(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
}

ServiceEmulator::~ServiceEmulator() = default;

void ServiceEmulator::makeTlsMaterial() {
    authorityKey_ = CertificateFactory::generateEcKey();
    CertificateProfile authority;
    authority.commonName = "Veltora Service Emulator CA";
    authority.isAuthority = true;
    authority.validDays = 30;
    authorityCertificate_ =
        CertificateFactory::issue(authority, authorityKey_.get(), nullptr, authorityKey_.get());

    serverKey_ = CertificateFactory::generateEcKey();
    CertificateProfile server;
    server.commonName = "localhost";
    server.isServer = true;
    server.dnsNames = {"localhost"};
    server.ipAddresses = {"127.0.0.1", "::1"};
    server.validDays = 30;
    serverCertificate_ =
        CertificateFactory::issue(server, serverKey_.get(), authorityCertificate_.get(), authorityKey_.get());

    std::ofstream file(options_.caFile, std::ios::binary | std::ios::trunc);
    file << CertificateFactory::pemText(authorityCertificate_.get());
    file.close();
    if (!file) {
        throw std::runtime_error("cannot write the CA certificate to " + options_.caFile);
    }
}

std::string ServiceEmulator::bind() {
    if (options_.tls) {
        makeTlsMaterial();
        server_ = std::make_unique<httplib::SSLServer>(serverCertificate_.get(), serverKey_.get());
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    if (!server_->is_valid()) {
        throw std::runtime_error("the HTTP server cannot be set up");
    }
    server_->new_task_queue = [this] {
        return new ConnectionQueue(static_cast<std::size_t>(options_.threads), [this] {
            ++connectionsOpened_;
            pause(std::chrono::milliseconds(options_.connectDelayMilliseconds));
        });
    };
    // Clients keep their connections for many requests; answers written in
    // two pieces must not wait for the client's delayed acknowledgement.
    server_->set_keep_alive_max_count(1000000);
    server_->set_tcp_nodelay(true);
    server_->set_payload_max_length(kMaxRequestBytes);
    installRoutes();

    const int port = options_.port == 0
                         ? server_->bind_to_any_port(kLoopback)
                         : (server_->bind_to_port(kLoopback, options_.port) ? options_.port : -1);
    if (port <= 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(options_.port));
    }
    return std::string(options_.tls ? "https" : "http") + "://" + kLoopback + ":" + std::to_string(port) +
           "/Api";
}

void ServiceEmulator::serve() {
    server_->listen_after_bind();
}

void ServiceEmulator::stop() {
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = true;
    }
    stopSignal_.notify_all();
    if (server_) {
        server_->stop();
    }
}

bool ServiceEmulator::waitUntilIdle(std::chrono::milliseconds limit) {
    std::unique_lock lock(stopMutex_);
    return stopSignal_.wait_for(lock, limit, [this] { return answersInProgress_ == 0; });
}

bool ServiceEmulator::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(stopMutex_);
    return !stopSignal_.wait_for(lock, duration, [this] { return stopping_; });
}

void ServiceEmulator::installRoutes() {
    server_->set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
        if (request.get_header_value("Content-Type").starts_with("multipart/form-data")) {
            // The request object is the server's own, mutable one; the handler
            // type only promises not to change it.
            auto& headers = const_cast<httplib::Headers&>(request.headers);
            const auto value = request.get_header_value("Content-Type");
            headers.erase("Content-Type");
            headers.emplace(kParkedContentType, value);
            headers.emplace("Content-Type", "application/octet-stream");
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    server_->Post(R"(/Api/v1/([^/]+)/SigningRequests)",
                  [this](const httplib::Request& request, httplib::Response& response) {
                      answerSigningRequest(request, response);
                  });
    server_->Get(R"(/Api/v1/([^/]+)/Cryptoki/MySigningPolicies)",
                 [this](const httplib::Request& request, httplib::Response& response) {
                     answerSigningPolicies(request, response);
                 });

    server_->Put(R"(/_emulator/script/([a-z]+))",
                 [this](const httplib::Request& request, httplib::Response& response) {
                     auto endpoint = FaultScript::parseEndpoint(request.matches[1].str());
                     auto steps = endpoint ? FaultScript::parse(request.body)
                                           : Result<std::vector<FaultStep>>(endpoint.error());
                     if (!steps) {
                         answerText(response, 400, steps.error().description);
                         return;
                     }
                     script_.replace(endpoint.value(), std::move(steps.value()));
                     response.status = 204;
                 });
    server_->Put("/_emulator/latency", [this](const httplib::Request& request, httplib::Response& response) {
        auto options = EmulatorOptions::parse({"--latency-ms", request.body});
        if (!options) {
            answerText(response, 400, options.error().description);
            return;
        }
        script_.latencyMilliseconds = options.value().latencyMilliseconds;
        response.status = 204;
    });
    server_->Get("/_emulator/requests", [this](const httplib::Request&, httplib::Response& response) {
        answerJson(response, requestLog_.toJson());
    });
    server_->Get("/_emulator/connections", [this](const httplib::Request&, httplib::Response& response) {
        answerJson(response, {{"opened", connectionsOpened_.load()}});
    });
    server_->Delete("/_emulator/requests", [this](const httplib::Request&, httplib::Response& response) {
        requestLog_.clear();
        response.status = 204;
    });

    const auto unknown = [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        answerText(response, 404, "no such resource: " + request.method + " " + request.path);
    };
    server_->Get(".*", unknown);
    server_->Post(".*", unknown);
    server_->Put(".*", unknown);
    server_->Delete(".*", unknown);
    server_->Patch(".*", unknown);
}

void ServiceEmulator::record(const httplib::Request& request) {
    RecordedRequest recorded{request.method,
                             request.target,
                             {},
                             request.body.substr(0, kMaxRecordedBodyBytes),
                             request.remote_port};
    const bool parked = request.has_header(kParkedContentType);
    for (const auto& [name, value] : request.headers) {
        if (name == "LOCAL_ADDR" || name == "LOCAL_PORT" || name == "REMOTE_ADDR" || name == "REMOTE_PORT") {
            continue; // the server's own notes, not sent by the client
        }
        if (name == kParkedContentType) {
            recorded.headers.emplace_back("Content-Type", value);
        } else if (!(parked && strcasecmp(name.c_str(), "Content-Type") == 0)) {
            recorded.headers.emplace_back(name, value);
        }
    }
    requestLog_.add(std::move(recorded));
}

bool ServiceEmulator::admitted(const httplib::Request& request, httplib::Response& response) {
    if (request.get_header_value("Authorization") != "Bearer " + options_.apiToken) {
        answerText(response, 401, "missing or invalid API token");
        return false;
    }
    if (request.matches[1].str() != options_.organization) {
        answerText(response, 404, "unknown organization " + request.matches[1].str());
        return false;
    }
    return true;
}

std::optional<FaultStep> ServiceEmulator::beginAnswer(Endpoint endpoint, const httplib::Request& request,
                                                      httplib::Response& response) {
    record(request);
    if (!pause(std::chrono::milliseconds(script_.latencyMilliseconds.load()))) {
        answerText(response, 503, "stopping");
        return std::nullopt;
    }
    const FaultStep step = script_.next(endpoint);
    if (step.kind == FaultStep::Kind::hang) {
        pause(kLongestHang);
        answerText(response, 503, "stopping");
        return std::nullopt;
    }
    if (answerFault(step, response) || !admitted(request, response)) {
        return std::nullopt;
    }
    return step;
}

void ServiceEmulator::answerSigningRequest(const httplib::Request& request, httplib::Response& response) {
    const AnswerInProgress inProgress(*this);
    const auto step = beginAnswer(Endpoint::signing, request, response);
    if (!step) {
        return;
    }
    const auto contentType = request.get_header_value(kParkedContentType);
    if (contentType != SigningRequestParser::kContentType) {
        answerText(response, 400, "unexpected Content-Type \"" + contentType + "\"");
        return;
    }
    auto parsed = SigningRequestParser::parse(request.body);
    if (!parsed) {
        answerText(response, 400, parsed.error().description);
        return;
    }
    const SigningRequest& signing = parsed.value();
    const SigningPolicy* policy = catalog_.find(signing.signingPolicyId);
    if (policy == nullptr) {
        answerText(response, 404, "unknown signing policy " + signing.signingPolicyId);
        return;
    }
    const auto digest = base64Decode(signing.digestBase64);
    if (!digest) {
        answerText(response, 400, "Base64EncodedHash is not Base64");
        return;
    }
    const bool wrong = step->kind == FaultStep::Kind::wrongSignature;
    auto signature = DigestSigner::sign(policy->key.get(), wrong ? otherDigest(*digest) : *digest,
                                        signing.rsaHashAlgorithm);
    if (!signature) {
        answerText(response, static_cast<int>(signature.error().code), signature.error().description);
        return;
    }
    std::string& bytes = signature.value();
    if (step->kind == FaultStep::Kind::shortSignature) {
        bytes.resize(std::min(step->bytes, bytes.size()));
    }
    if (step->kind == FaultStep::Kind::unpaddedSignature) {
        bytes.erase(0, std::min(bytes.find_first_not_of('\0'), bytes.size()));
    }
    std::string encoded = base64Encode(bytes);
    if (step->kind == FaultStep::Kind::signatureWithLineBreaks) {
        encoded = withLineBreaks(encoded);
    }
    answerJson(response, {{"Signature", encoded}});
}

void ServiceEmulator::answerSigningPolicies(const httplib::Request& request, httplib::Response& response) {
    const AnswerInProgress inProgress(*this);
    if (!beginAnswer(Endpoint::policies, request, response)) {
        return;
    }
    for (const auto& [name, value] : request.params) {
        if ((name != "ProjectSlug" && name != "SigningPolicySlug") ||
            request.get_param_value_count(name) > 1) {
            answerText(response, 400, "unexpected query parameter " + name);
            return;
        }
    }
    if (policiesAnswer_) {
        response.set_content(*policiesAnswer_, "application/json");
        return;
    }
    answerJson(response, catalog_.answer(request.get_param_value("ProjectSlug"),
                                         request.get_param_value("SigningPolicySlug")));
}

} // namespace veltora::emulator
