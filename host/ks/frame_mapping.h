// The two addresses of a client frame buffer. On Windows the stream header's
// Data is the application's (user-mode) address of the buffer, valid only in
// the application's process; a driver writes through the system address the
// stream pointer gives (OffsetOut.Data), a second mapping of the same pages.
// Here the buffer's bytes live in shared memory mapped twice: the system
// mapping is writable, the application's alias has no access at all, so a
// driver writing through the header's Data faults as it would in another
// process's context. The client's own buffer receives the bytes when the
// frame comes back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hostks {

class FrameMapping {
public:
    FrameMapping() = default;
    ~FrameMapping();
    FrameMapping(const FrameMapping&) = delete;
    FrameMapping& operator=(const FrameMapping&) = delete;

    // Maps `bytes` bytes twice, the system view holding a copy of `client`.
    // False when the host cannot map them.
    bool Map(const void* client, size_t bytes);
    // Copies what the driver wrote back into the client's buffer.
    void CopyTo(void* client) const;

    uint8_t* System() const { return system_; }
    void* Application() const { return application_; }
    size_t Bytes() const { return bytes_; }

private:
    uint8_t* system_ = nullptr;
    void* application_ = nullptr;
    size_t bytes_ = 0;
    size_t mapped_ = 0;
};

// Where a frame's first eight-byte run of fresh pool fill lies within its
// first `bytes` bytes, or -1 when it holds none. A converted image never
// holds one: its pixels carry an alpha of 255.
long long FindFreshPoolFill(const uint8_t* data, size_t bytes);

}  // namespace hostks
