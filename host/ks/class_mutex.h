// The class's mutexes as AVStream documents them: the device mutex
// (KsAcquireDevice) and each filter's control mutex, which the filter's pins
// share. Neither may be taken recursively (the thread would deadlock with
// itself); the stand-in records that instead of hanging. Each knows its
// owner, so that the bag rules can ask whether the caller holds it.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "host/kernel/violations.h"

namespace hostks {

class ClassMutex {
public:
    explicit ClassMutex(const char* name) : name_(name) {}
    ClassMutex(const ClassMutex&) = delete;
    ClassMutex& operator=(const ClassMutex&) = delete;

    void Acquire() {
        if (HeldByCaller()) {
            hostk::ReportViolation("the %s acquired recursively (on Windows the thread deadlocks)", name_);
            ++nested_;
            return;
        }
        lock_.lock();
        owner_.store(std::this_thread::get_id());
    }

    void Release() {
        if (!HeldByCaller()) {
            hostk::ReportViolation("the %s released by a thread that does not hold it", name_);
            return;
        }
        if (nested_ > 0) {
            --nested_;
            return;
        }
        owner_.store(std::thread::id());
        lock_.unlock();
    }

    bool HeldByCaller() const { return owner_.load() == std::this_thread::get_id(); }
    const char* Name() const { return name_; }

private:
    const char* name_;
    std::mutex lock_;
    std::atomic<std::thread::id> owner_{};
    int nested_ = 0;  // recursive acquisitions already reported; only the owner touches it
};

// Holds a class mutex for a scope: what the class does around the dispatches
// it calls with the mutex held on the driver's behalf.
class ClassMutexHold {
public:
    explicit ClassMutexHold(ClassMutex& mutex) : mutex_(mutex) { mutex_.Acquire(); }
    ~ClassMutexHold() { mutex_.Release(); }
    ClassMutexHold(const ClassMutexHold&) = delete;
    ClassMutexHold& operator=(const ClassMutexHold&) = delete;

private:
    ClassMutex& mutex_;
};

}  // namespace hostks
