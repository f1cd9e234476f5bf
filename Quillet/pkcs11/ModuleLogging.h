#pragma once

namespace quillet {

// Sets up the log facility once per process, as "com.veltora.Quillet".
void setupModuleLogging();
// Returns when every pending log line is written.
void flushModuleLog();

} // namespace quillet
