#include "VeltoraCryptoTokenKit/config/TimeoutsConfiguration.h"

#include "VeltoraCryptoTokenKit/config/FloatText.h"

namespace veltora {

namespace {
std::string secondsText(const std::optional<float>& seconds) {
    return seconds ? shortestFloatText(*seconds) + "s" : "nil";
}
} // namespace

std::string TimeoutsConfiguration::description() const {
    return "httpRequest: " + secondsText(httpRequest) + ", firstRetryDelay: " + secondsText(firstRetryDelay) +
           ", retryCount: " + (retryCount ? std::to_string(*retryCount) + "x" : "nil");
}

} // namespace veltora
