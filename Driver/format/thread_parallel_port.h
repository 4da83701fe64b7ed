// A ParallelPort on standard threads, for user-mode hosts (tools, tests, benchmarks). Header-only:
// the format library itself starts no threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "format/container_header.h"

namespace vdformat {

// The calling thread works through the tasks together with `helpers` threads that live as long as
// the port and sleep between batches.
class ThreadParallelPort final : public ParallelPort {
public:
    explicit ThreadParallelPort(unsigned helpers) {
        for (unsigned i = 0; i < helpers; ++i) {
            helpers_.emplace_back([this] { Help(); });
        }
    }
    ThreadParallelPort(const ThreadParallelPort&) = delete;
    ThreadParallelPort& operator=(const ThreadParallelPort&) = delete;
    ~ThreadParallelPort() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& helper : helpers_) {
            helper.join();
        }
    }

    unsigned Workers() noexcept override { return static_cast<unsigned>(helpers_.size()) + 1; }

    void RunTasks(unsigned count, void (*task)(void* context, unsigned index),
                  void* context) noexcept override {
        {
            std::lock_guard lock(mutex_);
            task_ = task;
            context_ = context;
            count_ = count;
            next_.store(0);
            busyHelpers_ = static_cast<unsigned>(helpers_.size());
            ++batch_;
        }
        wake_.notify_all();
        Drain();
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return busyHelpers_ == 0; });
    }

private:
    void Drain() {
        for (unsigned i = next_.fetch_add(1); i < count_; i = next_.fetch_add(1)) {
            task_(context_, i);
        }
    }

    void Help() {
        unsigned seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || batch_ != seen; });
            if (stopping_) {
                return;
            }
            seen = batch_;
            lock.unlock();
            Drain();
            lock.lock();
            if (--busyHelpers_ == 0) {
                done_.notify_one();
            }
        }
    }

    std::vector<std::thread> helpers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    bool stopping_ = false;
    unsigned batch_ = 0;
    unsigned busyHelpers_ = 0;
    void (*task_)(void*, unsigned) = nullptr;
    void* context_ = nullptr;
    unsigned count_ = 0;
    std::atomic<unsigned> next_{0};
};

}  // namespace vdformat
