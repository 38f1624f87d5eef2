#include "tools/quelvixcam/raw_frame_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quelvixcam {
namespace {

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a pipe";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

}  // namespace

RawFrameFile::~RawFrameFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool RawFrameFile::Open(const std::string& path, std::string* error) {
    path_ = path;
    // Non-blocking, so that opening a pipe with no writer cannot hang
    // before it is refused.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (::fstat(fd_, &info_) != 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info_.st_mode)) {
        *error = path + " is " + KindOf(info_.st_mode) + "; --input takes a regular file that holds the frame";
        return false;
    }
    return true;
}

bool RawFrameFile::IsSameFile(const std::string& path) const {
    struct stat other;
    return ::stat(path.c_str(), &other) == 0 && other.st_dev == info_.st_dev && other.st_ino == info_.st_ino;
}

bool RawFrameFile::ReadLines(const RawGeometry& geometry, uint8_t* packed, std::string* error) const {
    for (uint64_t line = 0; line < geometry.height; ++line) {
        uint8_t* into = packed + line * geometry.width;
        const uint64_t at = geometry.offset + line * geometry.pitch;
        for (uint64_t got = 0; got < geometry.width;) {
            const ssize_t n = ::pread(fd_, into + got, geometry.width - got, static_cast<off_t>(at + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                *error = n == 0 ? path_ + " ended at byte " + std::to_string(at + got) + ", in line " +
                                      std::to_string(line) + " of the frame (it shrank while it was read)"
                                : "cannot read " + path_ + ": " + std::strerror(errno);
                return false;
            }
            got += static_cast<uint64_t>(n);
        }
    }
    return true;
}

}  // namespace quelvixcam
