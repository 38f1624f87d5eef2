// --camera-fault as a user meets it: a camera pulled out mid-capture, a
// camera whose descriptors are malformed, refused fault options, and the
// pool check every subcommand makes after the last unplug.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/quelvixcam/camera_faults.h"
#include "host/kernel/pool.h"
#include "sim/descriptors.h"
#include "tests/tools/tool_run.h"

namespace {

using Bytes = std::vector<uint8_t>;

using tooltest::ReadAll;
using tooltest::ToolRun;

class CameraFaultTool : public tooltest::ScratchDirTest {
protected:
    // The device descriptor and then `configuration`, in a file of its own.
    std::string DescriptorFile(const std::string& name, const Bytes& configuration) {
        Bytes bytes = sim::DeviceDescriptor();
        bytes.insert(bytes.end(), configuration.begin(), configuration.end());
        std::string path = dir_ + "/" + name + ".bin";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }
};

void SetTotal(Bytes& c) {
    c[2] = static_cast<uint8_t>(c.size() & 0xFF);
    c[3] = static_cast<uint8_t>(c.size() >> 8);
}

TEST_F(CameraFaultTool, CameraPulledOutMidCaptureEndsItWithOneLineAndNoHang) {
    auto started = std::chrono::steady_clock::now();
    ToolRun run = Tool("capture", "--frames 30 --camera-fps 0 --quiet --camera-fault unplug-after-frames=3");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));  // not the 10 s frame wait
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("quelvixcam capture: the camera was unplugged after ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
}

TEST_F(CameraFaultTool, MalformedDescriptorsStopEverySubcommandWithOneClearError) {
    const Bytes own = sim::ConfigurationDescriptor();
    struct Case {
        const char* name;
        Bytes configuration;
    };
    std::vector<Case> cases;
    cases.push_back({"truncated", Bytes(own.begin(), own.begin() + 25)});
    Bytes zero = own;
    zero[25] = 0;  // the second endpoint's bLength
    cases.push_back({"zero-length", zero});
    Bytes past = own;
    past[2] = 0xFF, past[3] = 0x00;  // wTotalLength 255 of 39 bytes
    cases.push_back({"total-past-end", past});
    Bytes none(own.begin(), own.begin() + 9);
    none[4] = 0;
    SetTotal(none);
    cases.push_back({"no-interface", none});
    Bytes few(own.begin(), own.begin() + 32);
    few[13] = 2;  // bNumEndpoints
    SetTotal(few);
    cases.push_back({"too-few-pipes", few});
    Bytes misplaced(own.begin(), own.begin() + 9);
    misplaced.insert(misplaced.end(), own.begin() + 18, own.end());
    misplaced.insert(misplaced.end(), own.begin() + 9, own.begin() + 18);
    cases.push_back({"endpoints-before-interface", misplaced});

    const std::string notStarted = "the camera did not start (status 0xC000009C: the device's descriptors are not valid)\n";
    for (const Case& c : cases) {
        std::string file = DescriptorFile(c.name, c.configuration);
        ToolRun capture = Tool("capture", "--frames 1 --quiet --camera-fault 'descriptors=" + file + "'");
        EXPECT_EQ(capture.status, 1) << c.name;
        EXPECT_EQ(capture.err, "quelvixcam capture: " + notStarted) << c.name;
        ToolRun get = Tool("get", "--camera-fault 'descriptors=" + file + "' Exposure");
        EXPECT_EQ(get.status, 1) << c.name;
        EXPECT_EQ(get.err, "quelvixcam get: " + notStarted) << c.name;
        EXPECT_EQ(get.out, "") << c.name;
    }
    ToolRun info = Tool("info", "--camera-fault 'descriptors=" + DescriptorFile("info", few) + "'");
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.out.find("device start: status 0xC000009C: the device's descriptors are not valid\n"),
              std::string::npos)
        << info.out;
}

TEST_F(CameraFaultTool, TheCamerasOwnDescriptorsFromAFileCapture) {
    std::string file = DescriptorFile("own", sim::ConfigurationDescriptor());
    ToolRun run = Tool("capture", "--frames 2 --camera-fps 0 --quiet --camera-fault 'descriptors=" + file + "'");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("frames: 2 (1600x1200 BGRA)"), std::string::npos) << run.out;
}

TEST_F(CameraFaultTool, FaultOptionsAreCheckedBeforeTheCameraIsTouched) {
    struct Case {
        std::string command;
        std::string arguments;
        int status;
        std::string message;
    } cases[] = {
        {"capture", "--camera-fault bogus", 2,
         "quelvixcam capture: unknown camera fault 'bogus' (quelvixcam COMMAND --help lists them)\n"},
        {"capture", "--camera-fault stall=3", 2, "quelvixcam capture: --camera-fault stall takes a pipe: 0, 1 or 2, not '3'\n"},
        {"set", "--camera-fault unplug-after-frames Exposure=5", 2, ""},
        {"get", "--camera-fault frame-timeout=1", 2, "quelvixcam get: --camera-fault frame-timeout takes no argument\n"},
        {"info", "--camera-fault", 2, "quelvixcam info: --camera-fault needs NAME[=ARG]\n"},
        {"capture", "--quiet --camera-fault descriptors=" + dir_ + "/missing", 1,
         "quelvixcam capture: cannot read '" + dir_ + "/missing': No such file or directory\n"},
    };
    for (const Case& c : cases) {
        ToolRun run = Tool(c.command, c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments;
        if (!c.message.empty()) {
            EXPECT_EQ(run.err, c.message) << c.arguments;
        }
        EXPECT_EQ(run.err.rfind("quelvixcam " + c.command + ": ", 0), 0u) << run.err;
    }
}

TEST_F(CameraFaultTool, EveryCameraSubcommandListsTheFaultsInItsHelp) {
    for (const char* command : {"capture", "info", "get", "set"}) {
        ToolRun run = Tool(command, "--help");
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_NE(run.out.find("--camera-fault NAME[=ARG]"), std::string::npos) << command;
        EXPECT_NE(run.out.find("descriptors=FILE"), std::string::npos) << command;
        EXPECT_NE(run.out.find("unplug-after-frames=N"), std::string::npos) << command;
    }
}

TEST(PoolCheckAfterUnplug, LiveBlocksArePrintedPerTagWithExitStatusThree) {
    EXPECT_EQ(CheckPoolAfterUnplug("quelvixcam test", 1), 1);  // nothing live: the status stands
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 39, 'QLNC');
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 57, 'QLNC');
    void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'wNCK');
    testing::internal::CaptureStderr();
    int status = CheckPoolAfterUnplug("quelvixcam test", 0);
    std::string printed = testing::internal::GetCapturedStderr();
    ExFreePoolWithTag(a, 'QLNC');
    ExFreePoolWithTag(b, 'QLNC');
    ExFreePoolWithTag(c, 'wNCK');
    EXPECT_EQ(status, kLeakExit);
    EXPECT_EQ(printed,
              "quelvixcam test: driver memory left after the last unplug:\n"
              "quelvixcam test:   tag 'QLNC': 2 blocks, 96 bytes\n"
              "quelvixcam test:   tag 'wNCK': 1 blocks, 16 bytes\n");
}

}  // namespace
