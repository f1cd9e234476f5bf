#pragma once

#include <nlohmann/json.hpp>

#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace veltora::emulator {

// A request as it reached the emulator, for tests that check the bytes a
// client sends.
struct RecordedRequest {
    std::string method;
    std::string target; // path and query as sent
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int remotePort = 0; // tells connections apart
};

// The most recent requests; safe from every request thread.
class RequestLog {
public:
    static constexpr std::size_t kCapacity = 100;

    void add(RecordedRequest request);
    void clear();
    // [{"method","target","headers":[[name,value]...],"bodyBase64","remotePort"}], oldest
    // first. Header bytes need not be UTF-8: dump with error_handler_t::replace.
    nlohmann::json toJson() const;

private:
    mutable std::mutex mutex_;
    std::deque<RecordedRequest> requests_;
};

} // namespace veltora::emulator
