#include "host/kernel/registry_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace hostk {
namespace {

// This process's command line, arguments separated by spaces, cut short so
// that the holder's line stays one readable line.
std::string OwnCommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!raw.empty() && raw.back() == '\0') raw.pop_back();
    for (char& c : raw) {
        if (c == '\0' || c == '\n' || c == '\r') c = ' ';
    }
    const size_t kLongest = 200;
    if (raw.size() > kLongest) raw = raw.substr(0, kLongest) + "...";
    return raw;
}

// Who holds the lock, as its holder wrote it: "pid N (COMMAND)", or less
// when it has not written that yet.
std::string Holder(int fd) {
    char buffer[512];
    ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    std::string text(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
    return text.empty() ? "another process" : text;
}

void RecordHolder(int fd) {
    std::string line = "pid " + std::to_string(::getpid()) + " (" + OwnCommandLine() + ")\n";
    if (::ftruncate(fd, 0) != 0) return;
    // The record is for people; a lock whose record could not be written
    // still locks.
    ssize_t ignored = ::pwrite(fd, line.data(), line.size(), 0);
    (void)ignored;
}

}  // namespace

RegistryLock::~RegistryLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the flock
}

bool RegistryLock::Acquire(const std::string& path, int waitMs, std::string* error) {
    if (waitMs < 0) waitMs = 0;
    const std::string lockPath = path + ".lock";
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = path + ": cannot lock it: cannot open " + lockPath + " (" + std::strerror(errno) + ")";
        return false;
    }
    // Polled rather than a blocking flock, so the wait has an end.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            *error = path + ": cannot lock " + lockPath + " (" + std::strerror(errno) + ")";
            ::close(fd);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            *error = path + ": in use by " + Holder(fd) + "; gave up after waiting " + std::to_string(waitMs / 1000) +
                     "." + std::to_string(waitMs % 1000 / 100) + " s";
            ::close(fd);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    RecordHolder(fd);
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    return true;
}

}  // namespace hostk
