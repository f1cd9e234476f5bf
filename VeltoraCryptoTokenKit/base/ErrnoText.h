#pragma once

#include <string>

namespace veltora {

// The system's text for an errno value, e.g. "No such file or directory".
// Safe on any thread: strerror's buffer may be shared by every thread, and the
// module runs on the application's threads.
std::string errnoText(int error);

} // namespace veltora
