#pragma once

#include "VeltoraCryptoTokenKit/client/CurlHandles.h"

#include <curl/curl.h>

#include <array>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <set>
#include <vector>

namespace veltora {

// The process-wide cache under every HTTP session: DNS answers and TLS sessions
// live in one libcurl share handle, and idle easy handles keep their live
// connections. A client made for a single request therefore still reuses a warm
// connection and resumes TLS instead of a full handshake.
//
// Connections are kept by pooled easy handles rather than in the share handle
// because libcurl documents a shared connection cache as unsafe between
// concurrent threads; a pooled handle is used by one thread at a time.
//
// The shared pool is never destroyed: threads still exchanging while the
// process exits keep their handles and share. Its end instead (at process exit
// or module unload) begins the ProcessEnd, cuts the exchanges under way short,
// and releases everything once they are over.
class CurlConnectionPool {
public:
    static CurlConnectionPool& shared();

    // An easy handle lent to one exchange; it goes back to the pool, with its
    // connection, when the lease ends.
    class Lease {
    public:
        Lease(CurlConnectionPool& pool, CurlEasyHandle handle) : pool_(&pool), handle_(std::move(handle)) {}
        Lease(Lease&&) = default;
        Lease& operator=(Lease&&) = default;
        ~Lease();

        CURL* get() const { return handle_.get(); }
        explicit operator bool() const { return handle_ != nullptr; }

    private:
        CurlConnectionPool* pool_;
        CurlEasyHandle handle_;
    };

    // A handle with every option at its default, attached to the share; empty
    // when libcurl cannot allocate one, or once the process has begun to end.
    Lease acquire();

    CurlConnectionPool(const CurlConnectionPool&) = delete;
    CurlConnectionPool& operator=(const CurlConnectionPool&) = delete;

private:
    CurlConnectionPool();

    void giveBack(CurlEasyHandle handle);
    void end();

    // Every socket of the pool's connections is known, so that the end can
    // wake the exchanges that wait on one.
    static curl_socket_t openSocket(void* pool, curlsocktype, curl_sockaddr* address);
    static int closeSocket(void* pool, curl_socket_t socket);

    static void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* pool);
    static void unlockShare(CURL*, curl_lock_data data, void* pool);

    // Keeps a fork from copying a lock that another thread holds, and keeps a
    // child off the connections it shares with its parent.
    static void beforeFork();
    static void afterForkInParent();
    static void afterForkInChild();

    std::array<std::mutex, CURL_LOCK_DATA_LAST> shareLocks_;
    CURLSH* share_ = nullptr;

    std::mutex idleMutex_;
    std::vector<CurlEasyHandle> idle_;
    std::size_t lent_ = 0;
    std::condition_variable allReturned_;
    // Handles inherited from a parent process: their sockets belong to the
    // parent's exchanges, so they are neither used nor cleaned up here.
    std::vector<CurlEasyHandle> inherited_;

    std::mutex socketsMutex_;
    std::set<curl_socket_t> sockets_;
};

} // namespace veltora
