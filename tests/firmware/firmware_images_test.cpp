// The controller images as the driver carries them: the tables generated at
// build time from firmware/image1.hex and image2.hex must hold exactly the
// files' data records, in order, and have the shape the camera expects.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "driver/usb/firmware_record.h"

namespace {

struct HexRecord {
    unsigned address;
    std::vector<uint8_t> data;
};

std::string FirmwareDir()
{
    return std::string(QUELVIX_SOURCE_DIR) + "/firmware/";
}

// An independent reader of the Intel HEX files: data records split into
// pieces of at most 16 bytes, as the driver's records hold them.
std::vector<HexRecord> ReadHex(const std::string& name)
{
    std::ifstream in(FirmwareDir() + name);
    EXPECT_TRUE(in.good()) << "cannot open " << FirmwareDir() + name;
    std::vector<HexRecord> records;
    std::string line;
    bool ended = false;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        EXPECT_FALSE(ended) << name << ": text after the end record";
        EXPECT_EQ(line[0], ':');
        std::vector<uint8_t> bytes;
        for (size_t i = 1; i + 1 < line.size(); i += 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
        }
        EXPECT_EQ(bytes.size(), bytes.at(0) + 5u) << line;
        unsigned sum = 0;
        for (uint8_t b : bytes) {
            sum += b;
        }
        EXPECT_EQ(sum & 0xFF, 0u) << "checksum of " << line;
        const unsigned address = bytes[1] << 8 | bytes[2];
        if (bytes[3] == 1) {
            ended = true;
        } else if (bytes[3] == 0) {
            for (unsigned first = 0; first < bytes[0]; first += 16) {
                const unsigned count = std::min(16u, bytes[0] - first);
                records.push_back({address + first,
                                   std::vector<uint8_t>(bytes.begin() + 4 + first, bytes.begin() + 4 + first + count)});
            }
        }
    }
    EXPECT_TRUE(ended) << name << ": no end record";
    return records;
}

struct Shape {
    size_t records;
    size_t bytes;
    unsigned lowest;
    unsigned highest;
};

size_t DataRecordCount(const FirmwareRecord* image)
{
    size_t n = 0;
    while (image[n].type == FirmwareRecordData) {
        ++n;
    }
    return n;
}

void CheckImage(const FirmwareRecord* image, const std::string& hexName, const Shape& shape)
{
    const size_t count = DataRecordCount(image);
    ASSERT_EQ(count, shape.records);
    EXPECT_EQ(image[count].type, 1) << "the table ends with one record of type 1";

    size_t bytes = 0;
    unsigned lowest = 0xFFFF;
    unsigned highestRecord = 0;
    unsigned highestByte = 0;
    for (size_t i = 0; i < count; ++i) {
        const FirmwareRecord& r = image[i];
        ASSERT_GE(r.byteCount, 1) << "record " << i;
        ASSERT_LE(r.byteCount, 16) << "record " << i;
        EXPECT_EQ(r.padding0, 0);
        EXPECT_EQ(r.padding1, 0);
        for (unsigned k = r.byteCount; k < 16; ++k) {
            EXPECT_EQ(r.data[k], 0) << "unused byte " << k << " of record " << i;
        }
        bytes += r.byteCount;
        lowest = std::min<unsigned>(lowest, r.address);
        highestRecord = std::max<unsigned>(highestRecord, r.address);
        highestByte = std::max<unsigned>(highestByte, r.address + r.byteCount - 1u);
        EXPECT_LE(r.address + r.byteCount - 1u, 0x1B3Fu) << "record " << i << " lies in internal memory";
    }
    EXPECT_EQ(bytes, shape.bytes);
    EXPECT_EQ(lowest, shape.lowest);
    // The range's upper end is the highest address a record writes to; the
    // stand-ins end on a one-byte record there, so it is also the highest
    // record address. A real program may read either way, so accept both.
    EXPECT_LE(highestRecord, shape.highest);
    EXPECT_GE(highestByte, shape.highest);
    EXPECT_TRUE(highestRecord == shape.highest || highestByte == shape.highest)
        << "highest record address 0x" << std::hex << highestRecord << ", highest byte 0x" << highestByte;

    const std::vector<HexRecord> hex = ReadHex(hexName);
    ASSERT_EQ(hex.size(), count) << hexName;
    for (size_t i = 0; i < count; ++i) {
        const FirmwareRecord& r = image[i];
        EXPECT_EQ(r.address, hex[i].address) << "record " << i;
        ASSERT_EQ(r.byteCount, hex[i].data.size()) << "record " << i;
        EXPECT_EQ(std::vector<uint8_t>(r.data, r.data + r.byteCount), hex[i].data) << "record " << i;
    }
}

TEST(FirmwareImages, RecordIsTwentyTwoBytesWithLittleEndianAddressAtOffsetTwo)
{
    static_assert(sizeof(FirmwareRecord) == 22, "record size");
    static_assert(offsetof(FirmwareRecord, address) == 2, "address offset");
    static_assert(offsetof(FirmwareRecord, type) == 4, "type offset");
    static_assert(offsetof(FirmwareRecord, data) == 5, "data offset");
    const FirmwareRecord& last = FirmwareImage1[DataRecordCount(FirmwareImage1) - 1];
    const auto* raw = reinterpret_cast<const uint8_t*>(&last);
    EXPECT_EQ(raw[2] | raw[3] << 8, last.address);
}

TEST(FirmwareImages, Image1MatchesItsHexFile)
{
    CheckImage(FirmwareImage1, "image1.hex", {58, 784, 0x0000, 0x0403});
}

TEST(FirmwareImages, Image2MatchesItsHexFile)
{
    CheckImage(FirmwareImage2, "image2.hex", {312, 3965, 0x0000, 0x0FED});
}

}  // namespace
