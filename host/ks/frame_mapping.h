// The two addresses of a client frame buffer. On Windows the stream header's
// Data is the application's (user-mode) address of the buffer, valid only in
// the application's process; a driver writes through the system address the
// stream pointer gives (OffsetOut.Data), a second mapping of the same pages.
// Here the buffer's bytes live in shared memory mapped twice: the system
// mapping is writable, the application's alias has no access at all, so a
// driver writing through the header's Data faults as it would in another
// process's context.
//
// A buffer locked for a driver keeps its pages, and mapping it costs no copy
// of its bytes. The stand-in keeps that cost fair: a buffer the client got
// from the stand-in (FrameBuffer) has a third, writable view for the client
// over the same pages, so nothing is copied; a buffer of the client's own
// memory gets a mapping kept across submissions (FrameMappingCache), with
// its bytes copied in on submission (on the client's thread) and out on
// completion. Both sets of pages are populated when mapped, so the driver's
// first write to a frame takes no page faults the real platform would not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace hostks {

class FrameMapping {
public:
    // `bytes` bytes of fresh shared pages with their system and application
    // views and, with `clientView`, a writable view for the client; null
    // when the host cannot map them.
    static std::shared_ptr<FrameMapping> Create(size_t bytes, bool clientView);
    ~FrameMapping();
    FrameMapping(const FrameMapping&) = delete;
    FrameMapping& operator=(const FrameMapping&) = delete;

    uint8_t* System() const { return system_; }
    void* Application() const { return application_; }
    // The client's own view of the pages, or null for a mapping that stands
    // for the client's memory and is copied.
    uint8_t* Client() const { return client_; }
    size_t Bytes() const { return bytes_; }

private:
    FrameMapping() = default;
    uint8_t* system_ = nullptr;
    void* application_ = nullptr;
    uint8_t* client_ = nullptr;
    size_t bytes_ = 0;
    size_t mapped_ = 0;
};

// A pin's mappings of client buffers the stand-in did not allocate, kept
// across submissions as a locked buffer keeps its pages: the same buffer
// submitted again gets the mapping it had, once its earlier frame is back.
// A few idle mappings are kept; the least recently used goes first.
class FrameMappingCache {
public:
    static constexpr size_t kIdleKept = 4;

    // A mapping of `bytes` bytes for the client buffer at `client`, leased
    // until Return; null when the host cannot map it. Its contents are
    // whatever the last frame left: the caller copies the client's bytes in.
    std::shared_ptr<FrameMapping> Lease(const void* client, size_t bytes);
    void Return(const std::shared_ptr<FrameMapping>& mapping);
    size_t Size() const;

private:
    struct Entry {
        const void* client;
        std::shared_ptr<FrameMapping> mapping;
        bool leased;
        uint64_t lastUse;
    };
    mutable std::mutex lock_;
    std::vector<Entry> entries_;
    uint64_t uses_ = 0;
};

// Where a frame's first eight-byte run of fresh pool fill lies within its
// first `bytes` bytes, or -1 when it holds none. A converted image never
// holds one: its pixels carry an alpha of 255.
long long FindFreshPoolFill(const uint8_t* data, size_t bytes);

}  // namespace hostks
