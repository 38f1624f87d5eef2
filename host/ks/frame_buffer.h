// A frame buffer the client gets from the stand-in, as an application gets
// memory it then hands to the driver: its pages are the ones the pin maps
// for the driver (the system mapping and the application's no-access
// alias), so submitting it and getting it back copies nothing. A client
// that submits its own memory instead pays a copy each way, which is the
// stand-in's cost and not the driver's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace hostks {

class FrameMapping;

class FrameBuffer {
public:
    // `bytes` bytes of zeroed memory; data() is null when the host could not
    // map them.
    explicit FrameBuffer(size_t bytes);
    ~FrameBuffer();
    FrameBuffer(const FrameBuffer&) = delete;
    FrameBuffer& operator=(const FrameBuffer&) = delete;

    uint8_t* data() const;
    size_t size() const;

private:
    std::shared_ptr<FrameMapping> mapping_;
};

// The mapping behind a FrameBuffer that starts at `data` and holds at least
// `bytes` bytes, or null when `data` is not the start of one. A frame in
// flight keeps the mapping (the driver's views stay valid) even if the
// client frees its FrameBuffer meanwhile.
std::shared_ptr<FrameMapping> FindFrameBuffer(const void* data, size_t bytes);

}  // namespace hostks
