// quelvixcam's raw output taken by real video tools, exactly as README.md
// shows it: each "quelvixcam capture --frames 30 --scene counter" example in
// the README is run as written (the tool first on PATH), and the video file
// it makes is decoded again with ffmpeg: 30 frames of 1600 x 1200, each a
// different picture, their frame numbers rising.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sim/scene.h"
#include "tests/tools/tool_run.h"

namespace {

constexpr int kWidth = 1600;
constexpr int kHeight = 1200;
constexpr size_t kFrameBytes = static_cast<size_t>(kWidth) * kHeight * 4;
const char kExample[] = "quelvixcam capture --frames 30 --scene counter";

using tooltest::ReadAll;
using tooltest::Shell;

// The README's example commands that start with `start`; a line ending in
// "|" or "\" goes on in the next one.
std::vector<std::string> ReadmeExamples(const std::string& start) {
    std::ifstream readme(std::string(QUELVIX_SOURCE_DIR) + "/README.md");
    std::vector<std::string> commands;
    std::string line, command;
    while (std::getline(readme, line)) {
        const size_t text = line.find_first_not_of(' ');
        if (command.empty() && (text == std::string::npos || line.compare(text, start.size(), start) != 0)) continue;
        command += line.substr(command.empty() ? text : 0) + "\n";
        const size_t end = line.find_last_not_of(' ');
        if (end == std::string::npos || (line[end] != '|' && line[end] != '\\')) {
            commands.push_back(command);
            command.clear();
        }
    }
    return commands;
}

class VideoToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quelvixcam-video-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::string tool = QUELVIXCAM_PATH;
        toolDir_ = tool.substr(0, tool.find_last_of('/'));
    }
    void TearDown() override {
        if (!dir_.empty()) Shell("rm -rf '" + dir_ + "'");
    }

    // Runs a README example in the test's directory, with the tool on PATH
    // and its settings store in the directory.
    void RunExample(const std::string& command) {
        const std::string line = "cd '" + dir_ + "' && PATH='" + toolDir_ + "':\"$PATH\" XDG_STATE_HOME='" + dir_ +
                                 "' sh -e -c '" + command + "' </dev/null >'" + dir_ + "/log' 2>&1";
        ASSERT_EQ(Shell(line), 0) << command << ReadAll(dir_ + "/log");
    }

    // Decodes the video with ffmpeg and checks the 30 frames in it.
    void ExpectThirtyRisingFrames(const std::string& video) {
        const std::string path = dir_ + "/" + video;
        ASSERT_EQ(Shell("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=width,height,nb_read_frames "
                        "-of csv=p=0 '" + path + "' >'" + dir_ + "/probe' 2>&1"),
                  0)
            << ReadAll(dir_ + "/probe");
        EXPECT_EQ(ReadAll(dir_ + "/probe"), "1600,1200,30\n") << video;
        ASSERT_EQ(Shell("ffmpeg -v error -i '" + path + "' -f rawvideo -pix_fmt bgra '" + path + ".bgra' 2>'" + dir_ +
                        "/decode'"),
                  0)
            << ReadAll(dir_ + "/decode");
        const std::string frames = ReadAll(path + ".bgra");
        ASSERT_EQ(frames.size(), 30 * kFrameBytes) << video;
        std::set<size_t> pictures;
        long previous = 0;
        for (size_t i = 0; i < 30; ++i) {
            const auto* pixels = reinterpret_cast<const uint8_t*>(frames.data()) + i * kFrameBytes;
            const long number = sim::ReadCounter([&](int x, int y) {
                const uint8_t* p = pixels + (static_cast<size_t>(y) * kWidth + x) * 4;
                return (p[0] + p[1] + p[2]) / 3;
            });
            EXPECT_GT(number, previous) << video << " frame " << i;
            previous = number;
            pictures.insert(std::hash<std::string_view>()(std::string_view(frames).substr(i * kFrameBytes, kFrameBytes)));
        }
        EXPECT_EQ(pictures.size(), 30u) << video << ": some pictures are the same";
    }

    std::string dir_;
    std::string toolDir_;
};

TEST_F(VideoToolsTest, TheReadmeHasOneFfmpegAndOneGStreamerExample) {
    const std::vector<std::string> examples = ReadmeExamples(kExample);
    ASSERT_EQ(examples.size(), 2u);
    EXPECT_NE(examples[0].find("--output - |\n"), std::string::npos) << examples[0];
    EXPECT_NE(examples[0].find(" ffmpeg -f rawvideo "), std::string::npos) << examples[0];
    EXPECT_NE(examples[0].find(" out.mp4\n"), std::string::npos) << examples[0];
    EXPECT_NE(examples[1].find("--output - | gst-launch-1.0 "), std::string::npos) << examples[1];
    EXPECT_NE(examples[1].find("location=out.avi\n"), std::string::npos) << examples[1];
}

TEST_F(VideoToolsTest, FfmpegMakesAVideoOfThirtyDifferentFramesInOrder) {
    const std::vector<std::string> examples = ReadmeExamples(kExample);
    ASSERT_GE(examples.size(), 1u);
    RunExample(examples[0]);
    ExpectThirtyRisingFrames("out.mp4");
}

TEST_F(VideoToolsTest, GStreamerMakesAVideoOfThirtyDifferentFramesInOrder) {
    const std::vector<std::string> examples = ReadmeExamples(kExample);
    ASSERT_GE(examples.size(), 2u);
    RunExample(examples[1]);
    ExpectThirtyRisingFrames("out.avi");
}

}  // namespace
