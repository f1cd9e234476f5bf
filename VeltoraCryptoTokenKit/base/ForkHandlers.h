#pragma once

namespace veltora {

// A lock that another thread holds while this one forks stays held for ever
// in the child, which has only the forking thread. So every such lock is
// taken before a fork and released after it, in both processes. They are
// taken in the order in which the code nests them, outermost first, written
// down here and nowhere else; the handlers after the fork run in reverse.
enum class ForkStage {
    pkcs11Module,      // the module's state, held while it reads the store, signs and logs
    signingWorkers,    // the signing threads' task list
    registrationCache, // the decoded token registrations
    loginName,         // the client's remembered login name
    connectionPool,    // the HTTP connection pool and its shared TLS sessions
    processEnd,        // the watches woken when the process ends
    logWatchers,       // the log files' watchers
    logRegistry,       // the log registry's batches, taken before the queues' mutexes
    logQueues,         // the serial queues' task lists
    count
};

struct ForkHandlers {
    void (*prepare)();
    void (*parent)();
    void (*child)();
};

// Installs the handlers of one stage; the first installation of a stage is
// the one that counts. Allocates nothing and registers one set of handlers
// with the system, so a module that is unloaded takes them all with it.
void installForkHandlers(ForkStage stage, ForkHandlers handlers);

} // namespace veltora
