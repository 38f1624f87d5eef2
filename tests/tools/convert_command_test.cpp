// quelvixcam convert, run as the built program: its output against the
// pipeline converting in-process, and its answers to bad input.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>

#include "tests/pipeline/pipeline_test_support.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

class ConvertCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        tool_ = QUELVIXCAM_PATH;
        ASSERT_EQ(access(tool_.c_str(), X_OK), 0) << "build quelvixcam first: " << tool_;
        char pattern[] = "/tmp/quelvixcam-convert-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    ToolRun Convert(const std::string& args) {
        std::string command = "'" + tool_ + "' convert " + args + " >'" + Path("stdout") + "' 2>'" + Path("stderr") + "'";
        int raw = std::system(command.c_str());
        return ToolRun{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadAll(Path("stdout")), ReadAll(Path("stderr"))};
    }

    std::string tool_;
    std::string dir_;
};

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// What the driver makes of `raw` with a pipeline set up by `configure`.
template <typename Configure>
std::vector<uint8_t> ConvertInProcess(const std::vector<uint8_t>& raw, int w, int h, ULONG offset, ULONG pitch,
                                      Configure configure) {
    pipeline_test::PipelineFrame f(w, h);
    configure(f.pipeline());
    ConvertFrame(f.pipeline(), raw.data(), offset, pitch);
    f.output().resize(static_cast<size_t>(w) * h * 4);
    return f.output();
}

TEST_F(ConvertCommandTest, RawOutputInTheCameraLayoutMatchesTheDriver) {
    const int w = 37, h = 11;
    auto raw = RandomBytes(RawDataOffset + (h - 1) * RawLinePitch + w, 1);
    WriteAll(Path("frame.raw"), raw);
    ToolRun r = Convert("--input " + Path("frame.raw") + " --width 37 --height 11 --phase 2 --set Brightness=600 --set Hue=400 "
                    "--set Contrast=-3 --set RedGain=301 --set Saturation=14 --output " + Path("out.bgra"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");  // gains are printed only under white balance
    // The property set's clamps: 510, 359, 0, 300.
    auto expected = ConvertInProcess(raw, w, h, RawDataOffset, RawLinePitch, [](ImagePipeline* p) {
        SetColorPhase(p, 2);
        SetRedGain(p, 300);
        UpdateBrightness(p, 510);
        UpdateContrast(p, 0);
        UpdateSaturation(p, 14);
        UpdateHue(p, 359);
    });
    std::string out = ReadAll(Path("out.bgra"));
    ASSERT_EQ(out.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), reinterpret_cast<const uint8_t*>(out.data())));
}

TEST_F(ConvertCommandTest, PackedGreyOutput) {
    const int w = 20, h = 6;
    auto raw = RandomBytes(w * h, 2);
    WriteAll(Path("frame.raw"), raw);
    ToolRun r = Convert("--input " + Path("frame.raw") + " --packed --width 20 --height 6 --set ColorEnable=0 --output " +
                    Path("out.bin"));
    ASSERT_EQ(r.status, 0) << r.err;
    auto expected = ConvertInProcess(raw, w, h, 0, w, [](ImagePipeline* p) { SetColorEnable(p, 0); });
    std::string out = ReadAll(Path("out.bin"));
    ASSERT_EQ(out.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), reinterpret_cast<const uint8_t*>(out.data())));
    EXPECT_EQ(static_cast<uint8_t>(out[0]), static_cast<uint8_t>(out[1]));  // grey
}

TEST_F(ConvertCommandTest, WhiteBalancePrintsTheMeasuredGains) {
    pipeline_test::PipelineFrame mosaic(32, 8);
    mosaic.FillChannels(0, 50, 100, 200);
    WriteAll(Path("frame.raw"), mosaic.raw());
    ToolRun r = Convert("--input " + Path("frame.raw") + " --packed --width 32 --height 8 --set WhiteBalance=1 "
                    "--set ColorCorrection=0 --output " + Path("out.raw"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "gains red=256 green=128 blue=64\n");
    std::string out = ReadAll(Path("out.raw"));
    ASSERT_EQ(out.size(), 32u * 8 * 4);
    EXPECT_EQ(out.substr(0, 4), std::string("\x64\x64\x64\xff", 4));
}

TEST_F(ConvertCommandTest, PngHoldsTheSamePixelsTopRowFirst) {
    const int w = 23, h = 9;
    auto raw = RandomBytes(w * h, 3);
    WriteAll(Path("frame.raw"), raw);
    ASSERT_EQ(Convert("--input " + Path("frame.raw") + " --packed --width 23 --height 9 --output " + Path("o.raw")).status,
              0);
    ToolRun r = Convert("--input " + Path("frame.raw") + " --packed --width 23 --height 9 --output " + Path("o.PNG"));
    ASSERT_EQ(r.status, 0) << r.err;
    // Decode with an independent inflater (python's zlib) and undo the filters.
    const char* script =
        "import sys,zlib,struct\n"
        "d=open(sys.argv[1],'rb').read(); assert d[:8]==b'\\x89PNG\\r\\n\\x1a\\n'\n"
        "p=8; idat=b''\n"
        "while p<len(d):\n"
        "  n,t=struct.unpack('>I4s',d[p:p+8]); c=d[p+8:p+8+n]; p+=12+n\n"
        "  if t==b'IHDR': w,h,bd,ct=struct.unpack('>IIBB',c[:10])\n"
        "  if t==b'IDAT': idat+=c\n"
        "assert bd==8 and ct==2\n"
        "z=zlib.decompress(idat); s=w*3; prev=bytearray(s); out=bytearray()\n"
        "for y in range(h):\n"
        "  f=z[y*(s+1)]; row=bytearray(z[y*(s+1)+1:(y+1)*(s+1)])\n"
        "  for i in range(s):\n"
        "    a=row[i-3] if i>=3 else 0; b=prev[i]; cc=prev[i-3] if i>=3 else 0\n"
        "    if f==1: row[i]=(row[i]+a)&255\n"
        "    elif f==2: row[i]=(row[i]+b)&255\n"
        "    elif f==3: row[i]=(row[i]+(a+b)//2)&255\n"
        "    elif f==4:\n"
        "      q=a+b-cc; pa,pb,pc=abs(q-a),abs(q-b),abs(q-cc)\n"
        "      row[i]=(row[i]+(a if pa<=pb and pa<=pc else b if pb<=pc else cc))&255\n"
        "  out+=row; prev=row\n"
        "sys.stdout.write('%d %d\\n'%(w,h)); open(sys.argv[2],'wb').write(out)\n";
    std::ofstream(Path("decode.py")) << script;
    std::string command = "python3 '" + Path("decode.py") + "' '" + Path("o.PNG") + "' '" + Path("rgb") + "' >'" +
                          Path("size") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << "python3 could not decode the PNG";
    EXPECT_EQ(ReadAll(Path("size")), "23 9\n");
    std::string bgra = ReadAll(Path("o.raw")), rgb = ReadAll(Path("rgb"));
    ASSERT_EQ(rgb.size(), static_cast<size_t>(w * h * 3));
    for (int i = 0; i < w * h; ++i) {
        ASSERT_EQ(rgb[3 * i + 0], bgra[4 * i + 2]) << i;
        ASSERT_EQ(rgb[3 * i + 1], bgra[4 * i + 1]) << i;
        ASSERT_EQ(rgb[3 * i + 2], bgra[4 * i + 0]) << i;
    }
}

TEST_F(ConvertCommandTest, BadInputGivesOneErrorLineAndStatusTwo) {
    WriteAll(Path("frame.raw"), RandomBytes(16 * 4, 4));
    const std::string in = " --input " + Path("frame.raw");
    const std::string out = " --output " + Path("never.raw");
    const struct {
        const char* what;
        std::string args;
        const char* mentions;
    } cases[] = {
        {"file too short", in + " --packed --width 16 --height 5" + out, "needs 80"},
        {"camera layout too short", in + " --width 16 --height 4" + out, "offset 9921"},
        {"width not a number", in + " --packed --width 1x6 --height 4" + out, "--width"},
        {"width zero", in + " --packed --width 0 --height 4" + out, "--width"},
        {"height negative", in + " --packed --width 16 --height -4" + out, "--height"},
        {"phase out of range", in + " --packed --width 16 --height 4 --phase 4" + out, "--phase"},
        {"setting value", in + " --packed --width 16 --height 4 --set Hue=12o" + out, "Hue"},
        {"setting too large", in + " --packed --width 16 --height 4 --set Hue=99999999999" + out, "Hue"},
        {"unknown setting", in + " --packed --width 16 --height 4 --set Gamma=2" + out, "Gamma"},
        {"no equals", in + " --packed --width 16 --height 4 --set Hue" + out, "NAME=VALUE"},
        {"unknown option", in + " --packed --width 16 --height 4 --fast" + out, "--fast"},
        {"missing value", in + " --packed --width 16 --height 4" + out + " --phase", "--phase"},
        {"no output", in + " --packed --width 16 --height 4", "--output"},
        {"no input", " --packed --width 16 --height 4" + out, "--input"},
        {"missing file", " --input " + Path("absent.raw") + " --packed --width 16 --height 4" + out, "absent.raw"},
        {"packed with pitch", in + " --packed --pitch 16 --width 16 --height 4" + out, "--packed"},
        {"pitch below width", in + " --offset 0 --pitch 8 --width 16 --height 4" + out, "--pitch"},
        {"width twice", in + " --packed --width 16 --width 8 --height 4" + out, "--width is given twice"},
        {"input twice", in + in + " --packed --width 16 --height 4" + out, "--input is given twice"},
        {"input a directory", " --input " + dir_ + " --packed --width 16 --height 4" + out, "is a directory"},
        {"input a device", " --input /dev/zero --packed --width 16 --height 4" + out, "is a character device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ToolRun r = Convert(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;  // exactly one line
        EXPECT_NE(r.err.find(c.mentions), std::string::npos) << r.err;
        EXPECT_NE(access(Path("never.raw").c_str(), F_OK), 0);
    }
}

// Writing OUT would destroy RAW before it was read, whatever name leads to
// it: the command refuses, as cp refuses to copy a file onto itself.
TEST_F(ConvertCommandTest, OutputThatIsTheInputIsRefusedAndTheInputKept) {
    const auto raw = RandomBytes(16 * 4, 8);
    WriteAll(Path("frame.raw"), raw);
    ASSERT_EQ(symlink(Path("frame.raw").c_str(), Path("link.raw").c_str()), 0);
    ASSERT_EQ(link(Path("frame.raw").c_str(), Path("hard.raw").c_str()), 0);
    for (const std::string& output :
         {Path("frame.raw"), Path("link.raw"), Path("hard.raw"), dir_ + "/./frame.raw", Path("frame.raw") + ".png"}) {
        SCOPED_TRACE(output);
        ToolRun r = Convert("--input " + Path("frame.raw") + " --packed --width 16 --height 4 --output " + output);
        if (output == Path("frame.raw") + ".png") {  // a file of its own
            EXPECT_EQ(r.status, 0) << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("is the same file as --input"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_EQ(ReadAll(Path("frame.raw")), std::string(raw.begin(), raw.end()));
    }
}

// Only the frame's lines are read, where they lie: a frame at the end of a
// 3 GB sparse file converts as the same lines packed, and the run's memory
// stays far below the file's size.
TEST_F(ConvertCommandTest, OnlyTheFramesLinesAreReadFromALargeFile) {
    const int w = 10, h = 10;
    const long long pitch = 4096, offset = 3000000000LL;
    const auto lines = RandomBytes(static_cast<size_t>(w) * h, 9);
    {
        FILE* f = std::fopen(Path("sparse.raw").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        for (int i = 0; i < h; ++i) {
            ASSERT_EQ(fseeko(f, static_cast<off_t>(offset + i * pitch), SEEK_SET), 0);
            ASSERT_EQ(std::fwrite(lines.data() + i * w, 1, w, f), static_cast<size_t>(w));
        }
        ASSERT_EQ(std::fclose(f), 0);
    }
    ToolRun r = Convert("--input " + Path("sparse.raw") + " --offset " + std::to_string(offset) + " --pitch " +
                        std::to_string(pitch) + " --width 10 --height 10 --output " + Path("out.bgra"));
    ASSERT_EQ(r.status, 0) << r.err;
    auto expected = ConvertInProcess(lines, w, h, 0, w, [](ImagePipeline*) {});
    std::string out = ReadAll(Path("out.bgra"));
    ASSERT_EQ(out.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), reinterpret_cast<const uint8_t*>(out.data())));
    // The largest child this test process has waited for: the tool. Reading
    // the whole file would have taken 3 GB.
    struct rusage children;
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &children), 0);
    EXPECT_LT(children.ru_maxrss, 1024L * 1024) << "kilobytes";
}

TEST_F(ConvertCommandTest, UnwritableOutputIsReported) {
    WriteAll(Path("frame.raw"), RandomBytes(16 * 4, 5));
    for (const char* name : {"/no/such/dir/out.raw", "/no/such/dir/out.png"}) {
        ToolRun r = Convert("--input " + Path("frame.raw") + " --packed --width 16 --height 4 --output " + name);
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_NE(r.err.find("/no/such/dir"), std::string::npos) << r.err;
    }
}

// Numbers read as the rest of the tool reads them: decimal even with leading
// zeros, or hexadecimal after 0x. Each spelling gives the same frame.
TEST_F(ConvertCommandTest, NumbersAreDecimalOrHexLikeEverywhereInTheTool) {
    const int w = 20, h = 6;
    WriteAll(Path("frame.raw"), RandomBytes(w * h, 6));
    const std::string in = "--input " + Path("frame.raw") + " --packed ";
    ToolRun plain = Convert(in + "--width 20 --height 6 --set Hue=10 --output " + Path("plain.raw"));
    ASSERT_EQ(plain.status, 0) << plain.err;
    ToolRun zeros = Convert(in + "--width 020 --height 06 --set Hue=010 --output " + Path("zeros.raw"));
    ASSERT_EQ(zeros.status, 0) << zeros.err;
    ToolRun hex = Convert(in + "--width 0x14 --height 0x6 --set Hue=0xA --output " + Path("hex.raw"));
    ASSERT_EQ(hex.status, 0) << hex.err;
    EXPECT_EQ(ReadAll(Path("zeros.raw")), ReadAll(Path("plain.raw")));
    EXPECT_EQ(ReadAll(Path("hex.raw")), ReadAll(Path("plain.raw")));
    ToolRun eight = Convert(in + "--width 20 --height 6 --set Hue=8 --output " + Path("eight.raw"));
    ASSERT_EQ(eight.status, 0) << eight.err;
    EXPECT_NE(ReadAll(Path("eight.raw")), ReadAll(Path("plain.raw")));  // 010 is not octal 8
}

// The white-balance sums are 32-bit: 255 per pixel wraps them beyond
// 16,843,009 pixels, so white balance is refused for larger frames before the
// raw file is read; without white balance the same geometry goes on.
TEST_F(ConvertCommandTest, WhiteBalanceIsRefusedWhereItsSumsCouldWrap) {
    WriteAll(Path("frame.raw"), RandomBytes(64, 7));
    const std::string in = "--input " + Path("frame.raw") + " --packed --output " + Path("never.raw");
    ToolRun refused = Convert(in + " --width 4105 --height 4104 --set WhiteBalance=1");
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err.find('\n'), refused.err.size() - 1) << refused.err;
    EXPECT_NE(refused.err.find("WhiteBalance"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("16843009"), std::string::npos) << refused.err;
    ToolRun largest = Convert(in + " --width 32767 --height 32767 --set WhiteBalance=1");
    EXPECT_NE(largest.err.find("16843009"), std::string::npos) << largest.err;
    // At the limit and without white balance, only the short file is wrong.
    ToolRun fits = Convert(in + " --width 4104 --height 4104 --set WhiteBalance=1");
    EXPECT_NE(fits.err.find("bytes; a 4104 x 4104 frame"), std::string::npos) << fits.err;
    ToolRun off = Convert(in + " --width 4105 --height 4104");
    EXPECT_NE(off.err.find("bytes; a 4105 x 4104 frame"), std::string::npos) << off.err;
}

}  // namespace
