// Worker threads a test waits for with a deadline, for work that may deadlock: a thread that
// misses the deadline is stuck for good, so the failure is reported and the test program
// ends there instead of hanging the test run. The test thread starts and awaits the workers;
// the workers only run their work (GoogleTest assertions stay on the test thread).
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::testing_support {

class BoundedThreads {
public:
    BoundedThreads() = default;
    BoundedThreads(const BoundedThreads&) = delete;
    BoundedThreads& operator=(const BoundedThreads&) = delete;
    ~BoundedThreads() {
        for (std::thread& thread : threads_) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }

    template <typename Work> void Start(Work work) {
        threads_.emplace_back([this, work = std::move(work)]() mutable {
            work();
            std::lock_guard<std::mutex> lock(mutex_);
            ++finished_;
            done_.notify_all();
        });
    }

    // Joins every worker, or reports `what` as hung and ends the program when they are not all
    // done within `limit`. Joining a stuck thread would hang, and so could a normal exit, whose
    // library teardown may wait on the locks the stuck thread holds.
    void FinishWithin(std::chrono::seconds limit, const char* what) {
        bool allDone = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            allDone = done_.wait_for(lock, limit, [this] { return finished_ == threads_.size(); });
        }
        if (!allDone) {
            ADD_FAILURE() << what << " did not finish within " << limit.count() << " s: deadlocked";
            std::fflush(stdout);
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    size_t finished_ = 0;
    std::vector<std::thread> threads_;
};

} // namespace corvane::testing_support
