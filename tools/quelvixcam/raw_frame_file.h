// The raw file `quelvixcam convert` reads: a regular file, of which only the
// frame's lines are read, where they lie. A large or sparse file then costs
// no more than its frame, and a device or a pipe, which has no size to hold
// the geometry against (/dev/zero never ends), is refused.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace quelvixcam {

// Where a frame's lines lie: line i is `width` bytes at offset + i * pitch.
struct RawGeometry {
    uint64_t offset = 0;
    uint64_t pitch = 0;
    uint64_t width = 0;
    uint64_t height = 0;

    // The bytes a file must hold: up to the end of the last line.
    uint64_t BytesNeeded() const { return offset + (height - 1) * pitch + width; }
};

class RawFrameFile {
public:
    RawFrameFile() = default;
    ~RawFrameFile();
    RawFrameFile(const RawFrameFile&) = delete;
    RawFrameFile& operator=(const RawFrameFile&) = delete;

    // Opens `path`: false with one line in *error when it cannot be opened
    // or is not a regular file (naming what it is).
    bool Open(const std::string& path, std::string* error);
    uint64_t Size() const { return static_cast<uint64_t>(info_.st_size); }
    // True when `path` names this very file (the same device and inode, as
    // cp checks), whatever links or names lead to it.
    bool IsSameFile(const std::string& path) const;
    // Reads the frame's lines into `packed`, one after another (width x
    // height bytes). False with one line in *error when a read fails or the
    // file ends first (it shrank since it was opened).
    bool ReadLines(const RawGeometry& geometry, uint8_t* packed, std::string* error) const;

private:
    std::string path_;
    int fd_ = -1;
    struct stat info_{};
};

}  // namespace quelvixcam
