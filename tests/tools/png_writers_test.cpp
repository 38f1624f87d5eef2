// capture's PNG writers, with a stand-in write that the test holds up: what
// a full queue refuses, and that every picture taken is written, top row
// first, under its own number.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tools/quelvixcam/png_writers.h"

namespace {

using quelvixcam::PngWriters;

constexpr int kWidth = 4;
constexpr int kHeight = 2;
constexpr size_t kPictureBytes = kWidth * kHeight * 4;

// A write that waits until it is let go, then records what it was given.
class HeldWrite {
public:
    PngWriters::WriteFunction Function() {
        return [this](const std::string& path, const uint8_t* top, int width, int height, std::string* error) {
            std::unique_lock<std::mutex> hold(lock_);
            released_.wait(hold, [this] { return open_; });
            paths_.push_back(path.substr(path.rfind('/') + 1));
            firstBytes_.push_back(top[0]);
            lastRowBytes_.push_back(top[(height - 1) * width * 4]);
            if (path.find(failOn_) != std::string::npos && !failOn_.empty()) {
                *error = "cannot write " + path + ": disk full";
                return false;
            }
            return true;
        };
    }
    void Release() {
        std::lock_guard<std::mutex> hold(lock_);
        open_ = true;
        released_.notify_all();
    }
    void FailOn(const std::string& name) { failOn_ = name; }

    std::vector<std::string> paths_;
    std::vector<uint8_t> firstBytes_;
    std::vector<uint8_t> lastRowBytes_;

private:
    std::mutex lock_;
    std::condition_variable released_;
    bool open_ = false;
    std::string failOn_;
};

// A bottom-up picture whose top row's bytes are `top` and bottom row's `bottom`.
std::vector<uint8_t> BottomUp(uint8_t top, uint8_t bottom) {
    std::vector<uint8_t> picture(kPictureBytes);
    std::fill(picture.begin(), picture.begin() + kWidth * 4, bottom);  // stored first
    std::fill(picture.begin() + kWidth * 4, picture.end(), top);
    return picture;
}

TEST(PngWriters, AFullQueueTakesNothingMoreAndEveryTakenPictureIsWritten) {
    HeldWrite write;
    {
        PngWriters writers("/out", kWidth, kHeight, 2 * kPictureBytes, 1, write.Function());
        // Room for two pictures, queued or being written: the third is
        // refused however far the writer has got, since it is held.
        EXPECT_TRUE(writers.Offer(1, BottomUp(11, 12).data(), kWidth * 4));
        EXPECT_TRUE(writers.Offer(2, BottomUp(21, 22).data(), kWidth * 4));
        EXPECT_FALSE(writers.Offer(3, BottomUp(31, 32).data(), kWidth * 4));
        write.Release();
        std::string error;
        EXPECT_TRUE(writers.Finish(&error)) << error;
        EXPECT_FALSE(writers.Offer(3, BottomUp(31, 32).data(), kWidth * 4));  // finished
    }
    EXPECT_EQ(write.paths_, (std::vector<std::string>{"frame-0001.png", "frame-0002.png"}));
    EXPECT_EQ(write.firstBytes_, (std::vector<uint8_t>{11, 21}));
    EXPECT_EQ(write.lastRowBytes_, (std::vector<uint8_t>{12, 22}));
}

TEST(PngWriters, TheRoomOfAWrittenPictureIsFreeAgain) {
    HeldWrite write;
    write.Release();
    PngWriters writers("/out", kWidth, kHeight, kPictureBytes, 1, write.Function());
    for (long i = 1; i <= 5; ++i) {
        // One picture's room: each offer waits until the last is written.
        while (!writers.Offer(i, BottomUp(static_cast<uint8_t>(i), 0).data(), kWidth * 4)) {
        }
    }
    std::string error;
    EXPECT_TRUE(writers.Finish(&error)) << error;
    EXPECT_EQ(write.firstBytes_, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

TEST(PngWriters, AFailedWriteIsReportedAndTheRestIsNotWritten) {
    HeldWrite write;
    write.FailOn("frame-0002");
    PngWriters writers("/out", kWidth, kHeight, 8 * kPictureBytes, 1, write.Function());
    for (long i = 1; i <= 4; ++i) ASSERT_TRUE(writers.Offer(i, BottomUp(1, 2).data(), kWidth * 4));
    std::string error;
    EXPECT_FALSE(writers.Failed(&error));  // nothing written yet
    write.Release();
    EXPECT_FALSE(writers.Finish(&error));
    EXPECT_EQ(error, "cannot write /out/frame-0002.png: disk full");
    EXPECT_TRUE(writers.Failed(&error));
    EXPECT_EQ(write.paths_, (std::vector<std::string>{"frame-0001.png", "frame-0002.png"}));
}

TEST(PngWriters, OneCoreIsLeftToTheCamera) {
    EXPECT_EQ(PngWriters::ThreadsFor(0), 1);  // unknown
    EXPECT_EQ(PngWriters::ThreadsFor(1), 1);
    EXPECT_EQ(PngWriters::ThreadsFor(2), 1);
    EXPECT_EQ(PngWriters::ThreadsFor(4), 3);
    EXPECT_EQ(PngWriters::ThreadsFor(16), 4);
}

}  // namespace
