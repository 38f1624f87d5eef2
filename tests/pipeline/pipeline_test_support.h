// Helpers shared by the pipeline tests: a pipeline sized for a frame, raw
// frames in the packed or the camera layout, and pixel access.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "host/kernel/violations.h"
#include "driver/pipeline/convert_frame.h"
#include "driver/pipeline/image_pipeline.h"
#include "host/wdk_host.h"

namespace pipeline_test {

struct Pixel {
    int blue;
    int green;
    int red;
    int alpha;
};

inline bool operator==(const Pixel& a, const Pixel& b) {
    return a.blue == b.blue && a.green == b.green && a.red == b.red && a.alpha == b.alpha;
}

inline std::ostream& operator<<(std::ostream& os, const Pixel& p) {
    return os << "(B " << p.blue << ", G " << p.green << ", R " << p.red << ", A " << p.alpha << ")";
}

// A pipeline with its working buffer for width x height, an output buffer with
// a guard zone after it, and a packed raw frame (offset 0, pitch = width).
class PipelineFrame {
public:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kUnwritten = 0x5A;

    PipelineFrame(int width, int height) : width_(width), height_(height) {
        pipeline_ = CreatePipeline();
        SetPipelineGeometry(pipeline_, width, height);
        AllocateWorkingBuffer(pipeline_);
        output_.assign(static_cast<size_t>(width) * height * 4 + kGuard, kUnwritten);
        pipeline_->outputBuffer = output_.data();
        raw_.assign(static_cast<size_t>(width) * height, 0);
    }
    ~PipelineFrame() { FreePipeline(pipeline_); }
    PipelineFrame(const PipelineFrame&) = delete;
    PipelineFrame& operator=(const PipelineFrame&) = delete;

    ImagePipeline* pipeline() { return pipeline_; }
    int width() const { return width_; }
    int height() const { return height_; }
    std::vector<uint8_t>& raw() { return raw_; }
    std::vector<uint8_t>& output() { return output_; }
    uint8_t& sample(int r, int c) { return raw_[static_cast<size_t>(r) * width_ + c]; }

    // Colour correction off and every adjustment neutral.
    void Neutral() { UpdateColorCorrection(pipeline_, 0); }

    void Convert(ConversionKernel kernel) {
        ConvertFrameWithKernel(pipeline_, raw_.data(), 0, static_cast<ULONG>(width_), kernel);
    }

    Pixel At(int r, int c) const {
        const uint8_t* p = &output_[(static_cast<size_t>(r) * width_ + c) * 4];
        return Pixel{p[0], p[1], p[2], p[3]};
    }

    bool GuardIntact() const {
        for (size_t i = output_.size() - kGuard; i < output_.size(); ++i)
            if (output_[i] != kUnwritten) return false;
        return true;
    }

    // Fills a mosaic whose red, green and blue sites hold the given samples.
    void FillChannels(int phase, int red, int green, int blue);

private:
    int width_;
    int height_;
    ImagePipeline* pipeline_ = nullptr;
    std::vector<uint8_t> output_;
    std::vector<uint8_t> raw_;
};

// The colour at (r, c) for a phase: 'R', 'G' or 'B' (the arrangement table).
inline char SiteColour(int phase, int r, int c) {
    static const char* const kCells[4] = {"GRBG", "BGGR", "RGGB", "GBRG"};
    return kCells[phase][(r & 1) * 2 + (c & 1)];
}

inline void PipelineFrame::FillChannels(int phase, int red, int green, int blue) {
    for (int r = 0; r < height_; ++r) {
        for (int c = 0; c < width_; ++c) {
            char s = SiteColour(phase, r, c);
            sample(r, c) = static_cast<uint8_t>(s == 'R' ? red : s == 'G' ? green : blue);
        }
    }
}

inline const char* KernelName(ConversionKernel kernel) {
    return kernel == ConversionKernelSse2 ? "Sse2" : "Scalar";
}

}  // namespace pipeline_test
