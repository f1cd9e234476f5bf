#include "tools/emulator/FaultScript.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>

namespace veltora::emulator {

namespace {

constexpr int kMaxRepetitions = 100000;
// Large enough to go past every bound of the clients, small enough for a test machine.
constexpr int kMaxBodyBytes = 256 * 1024 * 1024;
constexpr std::string_view kUtf8BytesPrefix = "utf8-bytes-";

Error reject(std::string reason) {
    return Error{"emulator", 400, std::move(reason)};
}

std::optional<int> number(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// The N of a step that takes a size.
Result<std::size_t> stepSize(std::string_view step, std::string_view digits) {
    const auto bytes = number(digits);
    if (!bytes || *bytes < 1 || *bytes > kMaxBodyBytes) {
        return reject("bad size in \"" + std::string(step) + "\" (1 to " + std::to_string(kMaxBodyBytes) +
                      ")");
    }
    return static_cast<std::size_t>(*bytes);
}

Result<FaultStep> parseStep(std::string_view text) {
    static const std::map<std::string_view, FaultStep::Kind, std::less<>> named{
        {"ok", FaultStep::Kind::normal},
        {"hang", FaultStep::Kind::hang},
        {"empty-body", FaultStep::Kind::emptyBody},
        {"not-json", FaultStep::Kind::notJson},
        {"json-array", FaultStep::Kind::jsonArray},
        {"missing-signature", FaultStep::Kind::missingSignature},
        {"signature-not-string", FaultStep::Kind::signatureNotString},
        {"signature-null", FaultStep::Kind::signatureNull},
        {"signature-with-line-breaks", FaultStep::Kind::signatureWithLineBreaks},
        {"invalid-base64", FaultStep::Kind::invalidBase64},
        {"wrong-signature", FaultStep::Kind::wrongSignature},
        {"signature-without-leading-zeros", FaultStep::Kind::unpaddedSignature},
    };
    FaultStep step;
    if (const auto found = named.find(text); found != named.end()) {
        step.kind = found->second;
        return step;
    }
    static const std::map<std::string_view, FaultStep::Kind, std::less<>> sized{
        {"short-signature", FaultStep::Kind::shortSignature},
        {"large-body", FaultStep::Kind::largeBody},
    };
    if (const auto found = sized.find(text.substr(0, text.find(':'))); found != sized.end()) {
        const auto bytes = stepSize(text, text.substr(std::min(text.size(), found->first.size() + 1)));
        if (!bytes) {
            return bytes.error();
        }
        step.kind = found->second;
        step.bytes = bytes.value();
        return step;
    }
    const auto colon = text.find(':');
    const auto status = number(text.substr(0, colon));
    if (!status || *status < 200 || *status > 599) {
        return reject("unknown step \"" + std::string(text) + "\"");
    }
    step.kind = FaultStep::Kind::status;
    step.status = *status;
    if (colon == std::string_view::npos) {
        // These answers carry no body by definition.
        const bool bodiless = *status == 204 || *status == 304;
        step.body = bodiless ? "" : "emulated status " + std::to_string(*status);
    } else if (text.substr(colon + 1) == "not-utf8") {
        step.body = "\xFF\xFE\xC0\x80";
    } else if (const auto size = text.substr(colon + 1); size.starts_with(kUtf8BytesPrefix)) {
        const auto bytes = stepSize(text, size.substr(kUtf8BytesPrefix.size()));
        if (!bytes) {
            return bytes.error();
        }
        step.bytes = bytes.value(); // made when answered: a script may repeat it many times
    } else {
        step.body = std::string(text.substr(colon + 1));
    }
    return step;
}

} // namespace

Result<std::vector<FaultStep>> FaultScript::parse(std::string_view text) {
    std::vector<FaultStep> steps;
    while (!text.empty()) {
        const auto comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);

        int repetitions = 1;
        if (const auto star = item.rfind('*'); star != std::string_view::npos) {
            const auto count = number(item.substr(star + 1));
            if (!count || *count < 1 || *count > kMaxRepetitions) {
                return reject("bad repetition in \"" + std::string(item) + "\"");
            }
            repetitions = *count;
            item = item.substr(0, star);
        }
        auto step = parseStep(item);
        if (!step) {
            return step.error();
        }
        steps.insert(steps.end(), static_cast<std::size_t>(repetitions), step.value());
    }
    return steps;
}

Result<Endpoint> FaultScript::parseEndpoint(std::string_view name) {
    if (name == "signing") {
        return Endpoint::signing;
    }
    if (name == "policies") {
        return Endpoint::policies;
    }
    return reject("unknown endpoint \"" + std::string(name) + "\" (signing or policies)");
}

void FaultScript::replace(Endpoint endpoint, std::vector<FaultStep> steps) {
    std::lock_guard lock(mutex_);
    pending_[static_cast<std::size_t>(endpoint)].assign(steps.begin(), steps.end());
}

FaultStep FaultScript::next(Endpoint endpoint) {
    std::lock_guard lock(mutex_);
    auto& queue = pending_[static_cast<std::size_t>(endpoint)];
    if (queue.empty()) {
        return FaultStep{};
    }
    FaultStep step = std::move(queue.front());
    queue.pop_front();
    return step;
}

} // namespace veltora::emulator
