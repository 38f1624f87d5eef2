// ProgramFrameGeometry (raw frame size and the two packets it sends) and
// ComputeBayerPhase.
#include "driver/camera/frame_geometry.h"
#include "tests/camera/camera_test_support.h"

using cameratest::StartedCamera;
using testrig::CommandLine;

namespace {

using FrameGeometryTest = StartedCamera;

TEST_F(FrameGeometryTest, RawFrameSizeIsRoundedUpToWholeKilobytesAndSentLittleEndian) {
    struct Case {
        ULONG height;
        ULONG size;
    };
    // 1200 * 1921 + 9913 = 2315113 -> 2315264 (0x235400);
    // 480 * 1921 + 9913 = 931993 -> 932864 (0x0E3C00).
    const Case cases[] = {{1200, 2315264}, {480, 932864}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.height);
        rig.Camera().ClearTrace();
        context->frameHeight = c.height;
        EXPECT_EQ(ProgramFrameGeometry(context), 0u);
        EXPECT_EQ(context->rawFrameSize, c.size);
        EXPECT_EQ(context->rawLinePitch, 1921);
        EXPECT_EQ(context->rawDataOffset, 9921u);
        EXPECT_EQ(Commands(), (std::vector<std::string>{
                                  CommandLine({0x0A, 0x00}),
                                  CommandLine({0x09, static_cast<int>(c.size & 0xFF), static_cast<int>((c.size >> 8) & 0xFF),
                                               static_cast<int>((c.size >> 16) & 0xFF), static_cast<int>(c.size >> 24)})}));
        EXPECT_EQ(rig.Camera().RawFrameSize(), c.size);
    }
}

TEST(RawFrameSize, RoundsUpOnlyWhatIsNotAlreadyWholeUnitsAndNeverWraps) {
    EXPECT_EQ(RawFrameSizeFor(0), 10240u);       // the 9913 bytes beyond the lines alone
    EXPECT_EQ(RawFrameSizeFor(199), 392192u);    // 199 * 1921 + 9913 is exactly 383 units
    EXPECT_EQ(RawFrameSizeFor(200), 394240u);    // one line more: the next unit
    // A height whose product no longer fits 32 bits (as a negative height
    // from a property would be) saturates instead of wrapping small.
    EXPECT_EQ(RawFrameSizeFor(0xFFFFFFFFu), 0xFFFFFC00u);
    EXPECT_EQ(RawFrameSizeFor(2235800u), 0xFFFFFC00u);
    EXPECT_GE(RawFrameSizeFor(2235000u), 2235000ull * 1921u);
}

TEST_F(FrameGeometryTest, RefusedPacketsAreIgnored) {
    rig.Camera().RejectCommands(true);
    context->frameHeight = 480;
    EXPECT_EQ(ProgramFrameGeometry(context), 0u);
    EXPECT_EQ(context->rawFrameSize, 932864u);
    EXPECT_EQ(Commands().size(), 2u);
}

TEST_F(FrameGeometryTest, BayerPhaseFollowsFirstLineParityAndFlipsOfEvenSizes) {
    struct Case {
        LONG roiY, flipV, flipH, roiWidth, roiHeight;
        ULONG phase;
    };
    // 0 GRBG, 1 BGGR, 2 RGGB, 3 GBRG.
    const Case cases[] = {
        {0, 0, 0, 1600, 1200, 0}, {1, 0, 0, 1600, 1200, 1}, {0, 1, 0, 1600, 1200, 1}, {1, 1, 0, 1600, 1200, 0},
        {0, 0, 1, 1600, 1200, 2}, {1, 0, 1, 1600, 1200, 3}, {0, 1, 1, 1600, 1200, 3}, {1, 1, 1, 1600, 1200, 2},
        // Flipping an odd number of lines or columns keeps the arrangement.
        {0, 1, 0, 1600, 1199, 0}, {0, 0, 1, 1599, 1200, 0}, {1, 1, 1, 1599, 1199, 1}, {2, 0, 0, 1600, 1200, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "roiY " << c.roiY << " flipV " << c.flipV << " flipH " << c.flipH << " "
                                        << c.roiWidth << "x" << c.roiHeight);
        context->settings.roiY = c.roiY;
        context->settings.flipV = c.flipV;
        context->settings.flipH = c.flipH;
        context->settings.roiWidth = c.roiWidth;
        context->settings.roiHeight = c.roiHeight;
        context->settings.bayerPhase = 99;
        EXPECT_EQ(ComputeBayerPhase(context), c.phase);
        EXPECT_EQ(context->settings.bayerPhase, static_cast<LONG>(c.phase));
    }
    EXPECT_TRUE(Commands().empty());  // nothing goes to the camera
}

}  // namespace
