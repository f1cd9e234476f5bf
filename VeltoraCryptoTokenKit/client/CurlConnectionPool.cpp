#include "VeltoraCryptoTokenKit/client/CurlConnectionPool.h"

#include "VeltoraCryptoTokenKit/base/ForkHandlers.h"
#include "VeltoraCryptoTokenKit/client/ProcessEnd.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <new>

namespace veltora {

namespace {

// Enough for the busiest signing load we see; more idle connections would only
// hold server threads.
constexpr std::size_t kMaxIdleHandles = 32;

// How long the end waits for the exchanges it cut short; longer only when
// libcurl is stuck in a name lookup, and then the handles are left as they are.
constexpr std::chrono::milliseconds kEndWait{500};

std::atomic<CurlConnectionPool*> liveInstance{nullptr};

} // namespace

CurlConnectionPool& CurlConnectionPool::shared() {
    alignas(CurlConnectionPool) static unsigned char storage[sizeof(CurlConnectionPool)];
    static CurlConnectionPool* const pool = new (storage) CurlConnectionPool;
    // Ends the pool at process exit and module unload, before anything it was built on goes.
    static const std::unique_ptr<CurlConnectionPool, void (*)(CurlConnectionPool*)> endOfUse(
        pool, [](CurlConnectionPool* ending) { ending->end(); });
    return *pool;
}

CurlConnectionPool::CurlConnectionPool() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    share_ = curl_share_init();
    if (share_ != nullptr) {
        curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &CurlConnectionPool::lockShare);
        curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &CurlConnectionPool::unlockShare);
        curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    liveInstance.store(this);
    installForkHandlers(ForkStage::connectionPool,
                        {&CurlConnectionPool::beforeFork, &CurlConnectionPool::afterForkInParent,
                         &CurlConnectionPool::afterForkInChild});
}

void CurlConnectionPool::end() {
    ProcessEnd::begin();
    {
        const std::lock_guard lock(socketsMutex_);
        for (const curl_socket_t socket : sockets_) {
            ::shutdown(socket, SHUT_RDWR); // the exchange on it ends at once, in its own thread
        }
    }
    std::unique_lock lock(idleMutex_);
    if (!allReturned_.wait_for(lock, kEndWait, [this] { return lent_ == 0; })) {
        return;
    }
    liveInstance.store(nullptr);
    // Swapped out rather than cleared, so that no storage is left either.
    std::vector<CurlEasyHandle>().swap(idle_); // handles first: they still refer to the share
    for (auto& handle : inherited_) {
        static_cast<void>(handle.release());
    }
    std::vector<CurlEasyHandle>().swap(inherited_);
    if (share_ != nullptr) {
        curl_share_cleanup(share_);
        share_ = nullptr;
    }
    curl_global_cleanup();
}

CurlConnectionPool::Lease CurlConnectionPool::acquire() {
    CurlEasyHandle handle;
    {
        std::lock_guard lock(idleMutex_);
        if (ProcessEnd::underway()) {
            return Lease(*this, nullptr);
        }
        ++lent_;
        if (!idle_.empty()) {
            handle = std::move(idle_.back());
            idle_.pop_back();
        }
    }
    if (!handle) {
        handle.reset(curl_easy_init());
        // A reset handle stays attached to its share.
        if (handle && share_ != nullptr) {
            curl_easy_setopt(handle.get(), CURLOPT_SHARE, share_);
        }
    }
    if (handle) {
        // Reset with the other options when the handle comes back.
        curl_easy_setopt(handle.get(), CURLOPT_OPENSOCKETFUNCTION, &CurlConnectionPool::openSocket);
        curl_easy_setopt(handle.get(), CURLOPT_OPENSOCKETDATA, this);
        curl_easy_setopt(handle.get(), CURLOPT_CLOSESOCKETFUNCTION, &CurlConnectionPool::closeSocket);
        curl_easy_setopt(handle.get(), CURLOPT_CLOSESOCKETDATA, this);
        return Lease(*this, std::move(handle));
    }
    giveBack(nullptr);
    return Lease(*this, nullptr);
}

void CurlConnectionPool::giveBack(CurlEasyHandle handle) {
    if (handle) {
        // Options point into the finished exchange; the live connection stays.
        curl_easy_reset(handle.get());
    }
    {
        std::lock_guard lock(idleMutex_);
        if (handle && idle_.size() < kMaxIdleHandles) {
            idle_.push_back(std::move(handle));
        }
        --lent_;
    }
    allReturned_.notify_all();
}

CurlConnectionPool::Lease::~Lease() {
    if (handle_) {
        pool_->giveBack(std::move(handle_));
    }
}

curl_socket_t CurlConnectionPool::openSocket(void* pool, curlsocktype, curl_sockaddr* address) {
    auto& self = *static_cast<CurlConnectionPool*>(pool);
    const std::lock_guard lock(self.socketsMutex_);
    const curl_socket_t socket = ::socket(address->family, address->socktype, address->protocol);
    if (socket != CURL_SOCKET_BAD) {
        self.sockets_.insert(socket);
    }
    return socket;
}

int CurlConnectionPool::closeSocket(void* pool, curl_socket_t socket) {
    auto& self = *static_cast<CurlConnectionPool*>(pool);
    // Under the lock, so that the end never shuts down a number already given to another file.
    const std::lock_guard lock(self.socketsMutex_);
    self.sockets_.erase(socket);
    return ::close(socket);
}

void CurlConnectionPool::lockShare(CURL*, curl_lock_data data, curl_lock_access, void* pool) {
    static_cast<CurlConnectionPool*>(pool)->shareLocks_.at(data).lock();
}

void CurlConnectionPool::unlockShare(CURL*, curl_lock_data data, void* pool) {
    static_cast<CurlConnectionPool*>(pool)->shareLocks_.at(data).unlock();
}

void CurlConnectionPool::beforeFork() {
    if (auto* pool = liveInstance.load()) {
        pool->idleMutex_.lock();
        pool->socketsMutex_.lock();
        for (auto& lock : pool->shareLocks_) {
            lock.lock();
        }
    }
}

void CurlConnectionPool::afterForkInParent() {
    if (auto* pool = liveInstance.load()) {
        for (auto& lock : pool->shareLocks_) {
            lock.unlock();
        }
        pool->socketsMutex_.unlock();
        pool->idleMutex_.unlock();
    }
}

void CurlConnectionPool::afterForkInChild() {
    if (auto* pool = liveInstance.load()) {
        if (pool->inherited_.empty()) {
            pool->inherited_.swap(pool->idle_); // no allocation on the usual first fork
        } else {
            for (auto& handle : pool->idle_) {
                pool->inherited_.push_back(std::move(handle));
            }
            pool->idle_.clear();
        }
        // The parent's exchanges and sockets: an end here must not cut them short.
        pool->lent_ = 0;
        pool->sockets_.clear();
        afterForkInParent();
    }
}

} // namespace veltora
