// The PNG files of `quelvixcam capture --output DIR`, written on threads of
// their own. Compressing a 1600 x 1200 picture takes about as long as the
// camera takes to send the next one; done in the capture loop, it kept the
// frame buffer from the pin meanwhile, and the driver dropped camera frames
// for want of a buffer. The loop now copies each picture into a queue and
// hands the buffer straight back.
//
// The queue is bounded in bytes (kQueueMiB by default). When a picture would
// not fit, it is not taken: the caller counts it apart from the driver's
// drops, as a picture the writers were too far behind to keep.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quelvixcam {

class PngWriters {
public:
    static constexpr size_t kQueueMiB = 256;

    // Writes one top-down BGRA picture (row r at top + r * width * 4) to
    // `path`; false with a one-line reason.
    using WriteFunction =
        std::function<bool(const std::string& path, const uint8_t* top, int width, int height, std::string* error)>;

    // Pictures of width x height go to DIR/frame-NNNN.png; `threads` writers
    // (at least one); `write` is the PNG writer unless a test gives another.
    PngWriters(const std::string& directory, int width, int height, size_t queueBytes, int threads,
               WriteFunction write = nullptr);
    ~PngWriters();
    PngWriters(const PngWriters&) = delete;
    PngWriters& operator=(const PngWriters&) = delete;

    // Queues a copy of the bottom-up picture at `bottomUp` (row r of the
    // picture at bottomUp + (height - 1 - r) * stride) as frame `index`.
    // False when the queue has no room for it: nothing was taken.
    bool Offer(long index, const uint8_t* bottomUp, size_t stride);
    // The first write that failed, if any (the capture then stops).
    bool Failed(std::string* error);
    // Waits until every queued picture is written and the writers have
    // ended; false with the first failure.
    bool Finish(std::string* error);

    // The writers a machine of `cores` processors gets: one core is left to
    // the camera and the driver, and more than four gain nothing.
    static int ThreadsFor(unsigned cores);

private:
    struct Picture {
        long index;
        std::vector<uint8_t> pixels;  // top row first
    };

    void Work();

    const std::string directory_;
    const int width_;
    const int height_;
    const size_t pictureBytes_;
    const size_t queueBytes_;
    WriteFunction write_;

    std::mutex lock_;
    std::condition_variable changed_;
    static constexpr size_t kBuffersReady = 2;

    std::deque<Picture> queue_;  // guarded by lock_, as are the fields below
    std::vector<std::vector<uint8_t>> spare_;  // buffers of written pictures, for the next ones
    size_t heldBytes_ = 0;       // queued and being written
    bool finishing_ = false;
    std::string firstError_;
    std::vector<std::thread> threads_;
};

}  // namespace quelvixcam
