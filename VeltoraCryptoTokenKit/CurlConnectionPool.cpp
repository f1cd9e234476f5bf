#include "VeltoraCryptoTokenKit/CurlConnectionPool.h"

#include <pthread.h>

#include <atomic>

namespace veltora {

namespace {

// Enough for the busiest signing load we see; more idle connections would only
// hold server threads.
constexpr std::size_t kMaxIdleHandles = 32;

std::atomic<CurlConnectionPool*> liveInstance{nullptr};

} // namespace

CurlConnectionPool& CurlConnectionPool::shared() {
    static CurlConnectionPool pool;
    return pool;
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
    pthread_atfork(&CurlConnectionPool::beforeFork, &CurlConnectionPool::afterForkInParent,
                   &CurlConnectionPool::afterForkInChild);
}

CurlConnectionPool::~CurlConnectionPool() {
    liveInstance.store(nullptr);
    idle_.clear(); // handles first: they still refer to the share
    for (auto& handle : inherited_) {
        static_cast<void>(handle.release());
    }
    if (share_ != nullptr) {
        curl_share_cleanup(share_);
    }
    curl_global_cleanup();
}

CurlConnectionPool::Lease CurlConnectionPool::acquire() {
    CurlEasyHandle handle;
    {
        std::lock_guard lock(idleMutex_);
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
    return Lease(*this, std::move(handle));
}

void CurlConnectionPool::giveBack(CurlEasyHandle handle) {
    // Options point into the finished exchange; the live connection stays.
    curl_easy_reset(handle.get());
    std::lock_guard lock(idleMutex_);
    if (idle_.size() < kMaxIdleHandles) {
        idle_.push_back(std::move(handle));
    }
}

CurlConnectionPool::Lease::~Lease() {
    if (handle_) {
        pool_->giveBack(std::move(handle_));
    }
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
        afterForkInParent();
    }
}

} // namespace veltora
