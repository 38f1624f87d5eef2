#include "tools/quelvixcam/png_writers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/quelvixcam/png_file.h"

namespace quelvixcam {
namespace {

// Fast PNGs: a writer then keeps up with the camera on one core.
bool WritePng(const std::string& path, const uint8_t* top, int width, int height, std::string* error) {
    return WriteBgraAsPng(path, top, width, height, static_cast<std::ptrdiff_t>(width) * 4, error, true);
}

}  // namespace

PngWriters::PngWriters(const std::string& directory, int width, int height, size_t queueBytes, int threads,
                       WriteFunction write)
    : directory_(directory),
      width_(width),
      height_(height),
      pictureBytes_(static_cast<size_t>(width) * static_cast<size_t>(height) * 4),
      queueBytes_(queueBytes),
      write_(write ? std::move(write) : WriteFunction(WritePng)) {
    // Buffers ready before the first picture: a copy into fresh memory
    // costs its page faults while the pin waits for the buffer back.
    for (size_t i = 0; i < kBuffersReady && (i + 1) * pictureBytes_ <= queueBytes_; ++i)
        spare_.emplace_back(pictureBytes_, 0);
    for (int i = 0; i < std::max(1, threads); ++i) threads_.emplace_back([this] { Work(); });
}

PngWriters::~PngWriters() {
    std::string ignored;
    Finish(&ignored);
}

int PngWriters::ThreadsFor(unsigned cores) { return static_cast<int>(std::min(4u, std::max(2u, cores) - 1)); }

bool PngWriters::Offer(long index, const uint8_t* bottomUp, size_t stride) {
    Picture picture{index, {}};
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (finishing_ || heldBytes_ + pictureBytes_ > queueBytes_) return false;
        heldBytes_ += pictureBytes_;
        if (!spare_.empty()) {
            picture.pixels = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    // Copied outside the lock: the writers go on meanwhile.
    picture.pixels.resize(pictureBytes_);
    const size_t rowBytes = static_cast<size_t>(width_) * 4;
    for (int r = 0; r < height_; ++r)
        std::memcpy(picture.pixels.data() + r * rowBytes, bottomUp + static_cast<size_t>(height_ - 1 - r) * stride,
                    rowBytes);
    std::lock_guard<std::mutex> hold(lock_);
    queue_.push_back(std::move(picture));
    changed_.notify_one();
    return true;
}

bool PngWriters::Failed(std::string* error) {
    std::lock_guard<std::mutex> hold(lock_);
    if (firstError_.empty()) return false;
    *error = firstError_;
    return true;
}

bool PngWriters::Finish(std::string* error) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        finishing_ = true;
        changed_.notify_all();
    }
    for (std::thread& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
    return !Failed(error);
}

void PngWriters::Work() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] { return !queue_.empty() || finishing_; });
        if (queue_.empty()) return;  // finishing, and nothing is left
        Picture picture = std::move(queue_.front());
        queue_.pop_front();
        const bool skip = !firstError_.empty();  // the capture is stopping
        hold.unlock();
        std::string error;
        bool written = skip;
        if (!skip) {
            char name[32];
            std::snprintf(name, sizeof name, "/frame-%04ld.png", picture.index);
            written = write_(directory_ + name, picture.pixels.data(), width_, height_, &error);
        }
        hold.lock();
        // Kept for the next picture: a buffer is only ever made while fewer
        // than the queue's bound exist, so spares and queue stay within it.
        spare_.push_back(std::move(picture.pixels));
        heldBytes_ -= pictureBytes_;
        if (!written && firstError_.empty()) firstError_ = error;
    }
}

}  // namespace quelvixcam
