// The lock that keeps two processes off one registry store file: a process
// that has the store loaded holds an exclusive flock on FILE.lock beside it
// until it lets the store go, and writes its pid and command line into that
// file so a second process can say who is in its way. Without it, the later
// of two saves would silently undo the earlier one.
//
// The lock file is never removed: removing it could let a third process lock
// a new file while the second still waits on the old one.
#pragma once

#include <string>

namespace hostk {

class RegistryLock {
public:
    RegistryLock() = default;
    ~RegistryLock();
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;

    // Takes the lock of the store file `path`, waiting up to `waitMs`
    // milliseconds for its holder to let go. False with one line in `error`
    // naming the file and the holder when it is still held then, or when
    // the lock file cannot be made.
    bool Acquire(const std::string& path, int waitMs, std::string* error);

private:
    int fd_ = -1;
};

}  // namespace hostk
