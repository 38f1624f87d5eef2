// The command-line tool, run as a user runs it: exit status, files written,
// what reaches standard output and standard error.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/scene.h"
#include "tests/tools/tool_run.h"

namespace {

constexpr int kWidth = 1600;
constexpr int kHeight = 1200;
constexpr size_t kFrameBytes = static_cast<size_t>(kWidth) * kHeight * 4;

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

uint32_t BigEndian32(const std::string& bytes, size_t at) {
    auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])); };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

using tooltest::ReadAll;
using tooltest::ToolRun;
using ToolTest = tooltest::ScratchDirTest;

// The pixel at the centre of a chart patch in a top-down BGRA frame, and
// whether it is nearer that patch's colour than another patch's.
bool NearerPatch(const uint8_t* frame, int patch, int other) {
    sim::PatchRect r = sim::ChartPatchRect(patch);
    const uint8_t* bgra = frame + (static_cast<size_t>(r.y + r.height / 2) * kWidth + r.x + r.width / 2) * 4;
    auto distance = [&](sim::Rgb c) {
        int db = bgra[0] - c.b, dg = bgra[1] - c.g, dr = bgra[2] - c.r;
        return db * db + dg * dg + dr * dr;
    };
    return distance(sim::ChartPatchColor(patch)) < distance(sim::ChartPatchColor(other));
}

TEST_F(ToolTest, CaptureWritesThePngFramesAskedForAndASummary) {
    ToolRun run = Tool("capture", "--frames 3 --camera-fps 0 --quiet --output '" + dir_ + "/frames'");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    for (int i = 1; i <= 3; ++i) {
        std::string png = ReadAll(dir_ + "/frames/frame-000" + std::to_string(i) + ".png");
        ASSERT_GT(png.size(), 24u) << i;
        EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
        EXPECT_EQ(png.substr(12, 4), "IHDR");
        EXPECT_EQ(BigEndian32(png, 16), static_cast<uint32_t>(kWidth));
        EXPECT_EQ(BigEndian32(png, 20), static_cast<uint32_t>(kHeight));
    }
    EXPECT_FALSE(Exists(dir_ + "/frames/frame-0004.png"));
    EXPECT_NE(run.out.find("frames: 3 (1600x1200 BGRA)\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("frame-0003.png"), std::string::npos) << run.out;
}

TEST_F(ToolTest, CaptureStreamsRawFramesTopRowFirstWithTheSummaryApart) {
    ToolRun run = Tool("capture", "--frames 2 --camera-fps 0 --quiet --output -");
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.out.size(), 2 * kFrameBytes);
    EXPECT_NE(run.err.find("frames: 2 (1600x1200 BGRA)\n"), std::string::npos) << run.err;
    // Patch 0 is at the top left of the chart and patch 18 below it at the
    // bottom: upside down, each would show the other's colour.
    for (int frame = 0; frame < 2; ++frame) {
        const auto* pixels = reinterpret_cast<const uint8_t*>(run.out.data()) + frame * kFrameBytes;
        EXPECT_TRUE(NearerPatch(pixels, 0, 18)) << frame;
        EXPECT_TRUE(NearerPatch(pixels, 18, 0)) << frame;
    }
}

TEST_F(ToolTest, CaptureRefusesBadRequestsWithOneLineAndAStatus) {
    const std::string file = dir_ + "/a-file";
    std::ofstream(file) << "x";
    struct Case {
        std::string arguments;
        int status;
        std::string message;
    } cases[] = {
        {"--frames 0", 2, "quelvixcam capture: --frames takes a whole number from 1 to 1000000, not '0'\n"},
        {"--frames 2.5", 2, "quelvixcam capture: --frames takes a whole number from 1 to 1000000, not '2.5'\n"},
        {"--camera-fps -1", 2, "quelvixcam capture: --camera-fps takes a rate from 0 to 1000, not '-1'\n"},
        {"--output '" + file + "'", 1, "quelvixcam capture: '" + file + "' exists and is not a directory\n"},
        {"--set Bogus=1", 2, "quelvixcam capture: --set: unknown property 'Bogus'\n"},
    };
    for (const Case& c : cases) {
        ToolRun run = Tool("capture", c.arguments + " --quiet --camera-fps 0");
        EXPECT_EQ(run.status, c.status) << c.arguments;
        EXPECT_EQ(run.err, c.message) << c.arguments;
        EXPECT_EQ(run.out, "") << c.arguments;
    }
    ToolRun unreadable = Tool("capture", "--scene '" + dir_ + "/missing.png' --quiet");
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_EQ(unreadable.err.rfind("quelvixcam capture: scene '" + dir_ + "/missing.png': ", 0), 0u) << unreadable.err;
    EXPECT_EQ(std::count(unreadable.err.begin(), unreadable.err.end(), '\n'), 1) << unreadable.err;
}

// The number the counter scene shows in frame `index` of raw top-down BGRA.
long FrameNumber(const std::string& frames, size_t index) {
    const auto* pixels = reinterpret_cast<const uint8_t*>(frames.data()) + index * kFrameBytes;
    return sim::ReadCounter([&](int x, int y) {
        const uint8_t* p = pixels + (static_cast<size_t>(y) * kWidth + x) * 4;
        return (p[0] + p[1] + p[2]) / 3;
    });
}

// "delivered: D, new: N, repeated: R, dropped: X" from the summary.
struct Counts {
    long delivered = -1, fresh = -1, repeated = -1, dropped = -1;
};
Counts SummaryCounts(const std::string& summary) {
    Counts c;
    const size_t at = summary.find("delivered: ");
    if (at != std::string::npos)
        std::sscanf(summary.c_str() + at, "delivered: %ld, new: %ld, repeated: %ld, dropped: %ld", &c.delivered, &c.fresh,
                    &c.repeated, &c.dropped);
    return c;
}

// The driver delivers its last picture again whenever a frame is handed back
// before the camera's next one is in; those repeats are counted, not written.
TEST_F(ToolTest, CaptureWritesEachNewPictureOnceAndCountsTheRepeats) {
    ToolRun run = Tool("capture", "--frames 12 --scene counter --quiet --output -");
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.out.size(), 12 * kFrameBytes);
    long previous = 0;
    for (size_t i = 0; i < 12; ++i) {
        const long number = FrameNumber(run.out, i);
        EXPECT_GT(number, previous) << "frame " << i << " repeats or goes back";
        previous = number;
    }
    EXPECT_NE(run.err.find("frames: 12 (1600x1200 BGRA)\n"), std::string::npos) << run.err;
    const Counts counts = SummaryCounts(run.err);
    EXPECT_EQ(counts.fresh, 12) << run.err;
    EXPECT_EQ(counts.delivered, counts.fresh + counts.repeated) << run.err;
    EXPECT_GE(counts.dropped, 0) << run.err;
}

TEST_F(ToolTest, CaptureKeepsRepeatsWhenAskedAndCountsEveryDeliveryTowardsTheFrames) {
    ToolRun run = Tool("capture", "--frames 20 --keep-repeats --scene counter --quiet --output -");
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.out.size(), 20 * kFrameBytes);
    long repeats = 0;
    long previous = FrameNumber(run.out, 0);
    EXPECT_GT(previous, 0);
    for (size_t i = 1; i < 20; ++i) {
        const long number = FrameNumber(run.out, i);
        EXPECT_GE(number, previous) << "frame " << i;
        // A repeat is the same picture, byte for byte.
        if (number == previous) {
            ++repeats;
            EXPECT_EQ(0, run.out.compare(i * kFrameBytes, kFrameBytes, run.out, (i - 1) * kFrameBytes, kFrameBytes)) << i;
        }
        previous = number;
    }
    EXPECT_NE(run.err.find("frames: 20 (1600x1200 BGRA), repeats included\n"), std::string::npos) << run.err;
    const Counts counts = SummaryCounts(run.err);
    EXPECT_EQ(counts.delivered, 20) << run.err;
    EXPECT_EQ(counts.repeated, repeats) << run.err;
    EXPECT_EQ(counts.fresh, 20 - repeats) << run.err;
}

// At contrast 0 every pixel is the same grey, the frame stamp's too, so new
// pictures look like repeats; the tool notices and goes by the camera's count
// rather than wait for ever for a picture that differs.
TEST_F(ToolTest, CaptureStillEndsWhenTheSettingsHideTheFrameStamp) {
    ToolRun run = Tool("capture", "--frames 3 --camera-fps 0 --set Contrast=0 --quiet --output -");
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.out.size(), 3 * kFrameBytes);
    for (size_t at = 4; at < run.out.size(); at += 4) {
        if (run.out.compare(at, 4, run.out, 0, 4) != 0) {
            ADD_FAILURE() << "pixel " << at / 4 << " differs from the first";
            break;
        }
    }
    EXPECT_NE(run.err.find("note: the settings hid the camera's frame stamp"), std::string::npos) << run.err;
    EXPECT_EQ(SummaryCounts(run.err).fresh, 3) << run.err;
}

TEST_F(ToolTest, SetValuesAreReadBackByGetFromTheSameStore) {
    ToolRun set = Tool("set", "Exposure=100 GlobalGain=20");
    ASSERT_EQ(set.status, 0) << set.err;
    ToolRun get = Tool("get", "Exposure GlobalGain FlipV");
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(get.out, "Exposure=100\nGlobalGain=20\nFlipV=0\n");

    ToolRun bogus = Tool("set", "Bogus=1");
    EXPECT_EQ(bogus.status, 2);
    EXPECT_EQ(bogus.err, "quelvixcam set: unknown property 'Bogus'\n");
    EXPECT_EQ(Tool("get", "Exposure").out, "Exposure=100\n");
}

// Numbers are decimal everywhere, with 0x for hexadecimal: a leading zero is
// not octal.
TEST_F(ToolTest, SetReadsNumbersInDecimalOrWithAHexPrefix) {
    ToolRun run = Tool("set", "Brightness=0300");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Brightness=300\n");
    EXPECT_EQ(Tool("set", "Brightness=08").out, "Brightness=8\n");
    EXPECT_EQ(Tool("set", "Brightness=0x12C").out, "Brightness=300\n");
    EXPECT_EQ(Tool("set", "Hue=010").out, "Hue=10\n");
    // Roi's parts too (0768 is no octal number, but is 768).
    ToolRun roi = Tool("set", "Roi=0,0,0,01024,0768");
    EXPECT_EQ(roi.status, 0) << roi.err;
    for (const char* bad : {"Brightness=1e2", "Brightness=0x", "Brightness=+-3", "Brightness= 3", "Brightness=0b11",
                            "Brightness=4294967296"}) {
        ToolRun refused = Tool("set", bad);
        EXPECT_EQ(refused.status, 2) << bad;
        EXPECT_NE(refused.err.find("is not a 32-bit number"), std::string::npos) << bad << ": " << refused.err;
    }
}

// info breaks the pool down by every tag the driver allocates with, and
// the rest as the platform's, so the parts add up to the total.
TEST_F(ToolTest, InfoBreaksThePoolDownByEveryDriverTagAndTheRestAddsUp) {
    ToolRun run = Tool("info", "");
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* when : {"pool while started: ", "pool after removal: "}) {
        const size_t at = run.out.find(when);
        ASSERT_NE(at, std::string::npos) << run.out;
        const std::string line = run.out.substr(at, run.out.find('\n', at) - at);
        unsigned long total = 0, context = 0, usb = 0, frame = 0, pipeline = 0, range = 0, platform = 0;
        ASSERT_EQ(std::sscanf(line.c_str() + std::strlen(when),
                              "%lu live blocks, %*u bytes, 'wNCK' %lu, 'QLNC' %lu, 'hVLT' %lu, 'RysI' %lu, "
                              "'gRNQ' %lu, platform %lu",
                              &total, &context, &usb, &frame, &pipeline, &range, &platform),
                  7)
            << line;
        EXPECT_EQ(context + usb + frame + pipeline + range + platform, total) << line;
    }
    EXPECT_NE(run.out.find("pool after removal: 0 live blocks"), std::string::npos) << run.out;
}

// An option given twice is refused rather than one of the two winning
// without a word (only --set and --camera-fault add up); an empty store name,
// which names no file to keep the settings in, is refused too.
// The driver image is loaded before anything else happens: a file that is
// not one stops every command with the loader's reason, before the camera or
// the store is touched.
TEST_F(ToolTest, EveryCommandRefusesADriverImageItCannotLoad) {
    const std::string notAnImage = dir_ + "/not-a-driver.sys";
    std::FILE* file = std::fopen(notAnImage.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("MZ but nothing else", file);
    std::fclose(file);
    for (const char* command : {"set", "get", "info", "capture", "serve"}) {
        ToolRun run = Tool(command, "--driver-image '" + notAnImage + "' Exposure=7");
        EXPECT_EQ(run.status, 2) << command;
        EXPECT_EQ(run.err.rfind(std::string("quelvixcam ") + command + ": not-a-driver.sys ", 0), 0u) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    EXPECT_FALSE(Exists(dir_ + "/settings.reg"));
    ToolRun twice = Tool("get", "--driver-image a.sys --driver-image b.sys Exposure");
    EXPECT_EQ(twice.status, 2);
    EXPECT_EQ(twice.err, "quelvixcam get: --driver-image is given twice; it may be given once\n");
    ToolRun bare = Tool("get", "Exposure --driver-image");
    EXPECT_EQ(bare.status, 2);
    EXPECT_EQ(bare.err, "quelvixcam get: --driver-image needs the path of a driver image\n");
}

TEST_F(ToolTest, EveryCommandRefusesARepeatedOptionAndAnEmptyStoreName) {
    ASSERT_EQ(Tool("set", "Exposure=100").status, 0);
    // Tool() names the test's store; a second --registry is the repeat.
    for (const char* command : {"set", "get", "info", "capture", "serve"}) {
        ToolRun run = Tool(command, "--registry '" + dir_ + "/other.reg' Exposure=7");
        EXPECT_EQ(run.status, 2) << command;
        EXPECT_EQ(run.err, std::string("quelvixcam ") + command + ": --registry is given twice; it may be given once\n");
    }
    EXPECT_FALSE(Exists(dir_ + "/other.reg"));
    EXPECT_EQ(Tool("get", "Exposure").out, "Exposure=100\n");
    ToolRun frames = Tool("capture", "--frames 2 --frames 3 --quiet --camera-fps 0");
    EXPECT_EQ(frames.status, 2);
    EXPECT_EQ(frames.err, "quelvixcam capture: --frames is given twice; it may be given once\n");

    for (const char* command : {"set", "get", "info", "capture"}) {
        const std::string line = std::string("'") + QUELVIXCAM_PATH + "' " + command + " --registry '' " +
                                 (std::string(command) == "set" ? "Exposure=7" : "") + " >'" + dir_ + "/out' 2>'" +
                                 dir_ + "/err'";
        EXPECT_EQ(tooltest::Shell(line), 2) << command;
        EXPECT_EQ(ReadAll(dir_ + "/err"),
                  std::string("quelvixcam ") + command + ": --registry needs a file name, not an empty one\n");
    }
}

// A store nested 30,000 keys deep is refused on its line; the tool does not
// crash on it and leaves it as it was.
TEST_F(ToolTest, DeeplyNestedStoreIsRefusedWithItsLine) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER";
    for (int i = 0; i < 30000; ++i) text += "\\k";
    text += "]\r\n";
    std::ofstream(dir_ + "/settings.reg", std::ios::binary) << text;
    ToolRun run = Tool("get", "Brightness");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("quelvixcam get: registry store " + dir_ + "/settings.reg: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("line 3: "), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err.substr(0, 300);
    EXPECT_EQ(ReadAll(dir_ + "/settings.reg"), text);
}

// A set during a capture on the same store: with no time to wait it fails
// with one line naming the capture; given time, it waits for the capture to
// save and let go, so the capture's save cannot undo the set.
TEST_F(ToolTest, SetDuringACaptureWaitsForItAndIsNotUndone) {
    std::string capture = std::string("exec '") + QUELVIXCAM_PATH + "' capture --registry '" + dir_ +
                          "/settings.reg' --frames 40 --camera-fps 10 --quiet --output - >/dev/null 2>'" + dir_ +
                          "/capture-err'";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", capture.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // The capture holds the store once its lock file names it.
    for (int i = 0; i < 600 && ReadAll(dir_ + "/settings.reg.lock").find("capture") == std::string::npos; ++i) {
        usleep(50 * 1000);
    }
    ASSERT_NE(ReadAll(dir_ + "/settings.reg.lock").find("capture"), std::string::npos);

    environment_ = "QUELVIXCAM_REGISTRY_WAIT=0";
    ToolRun refused = Tool("set", "Brightness=300");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err.rfind("quelvixcam set: registry store " + dir_ + "/settings.reg: ", 0), 0u) << refused.err;
    EXPECT_NE(refused.err.find("pid " + std::to_string(child)), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("capture"), std::string::npos) << refused.err;
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;

    environment_ = "QUELVIXCAM_REGISTRY_WAIT=120";
    ToolRun waited = Tool("set", "Brightness=300");
    EXPECT_EQ(waited.status, 0) << waited.err;
    EXPECT_EQ(waited.out, "Brightness=300\n");
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadAll(dir_ + "/capture-err");
    environment_.clear();
    EXPECT_EQ(Tool("get", "Brightness").out, "Brightness=300\n");
}

}  // namespace
