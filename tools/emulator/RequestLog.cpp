#include "tools/emulator/RequestLog.h"

#include "tools/emulator/Base64.h"

namespace veltora::emulator {

void RequestLog::add(RecordedRequest request) {
    std::lock_guard lock(mutex_);
    if (requests_.size() == kCapacity) {
        requests_.pop_front();
    }
    requests_.push_back(std::move(request));
}

void RequestLog::clear() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

nlohmann::json RequestLog::toJson() const {
    std::lock_guard lock(mutex_);
    auto list = nlohmann::json::array();
    for (const auto& request : requests_) {
        auto headers = nlohmann::json::array();
        for (const auto& [name, value] : request.headers) {
            headers.push_back({name, value});
        }
        list.push_back({{"method", request.method},
                        {"target", request.target},
                        {"headers", std::move(headers)},
                        {"bodyBase64", base64Encode(request.body)},
                        {"remotePort", request.remotePort}});
    }
    return list;
}

} // namespace veltora::emulator
