#pragma once

#include <string>

namespace veltora {

// What one exchange brought back: the HTTP status and the whole body.
struct HttpResponse {
    long status = 0;
    std::string body;
};

} // namespace veltora
