// The image loader against a small native image built by mingw-w64
// (test_driver/, QUELVIX_TEST_DRIVER_IMAGE): loaded and run as built, and
// refused, with the fault named, once a fault is planted in a copy of its
// bytes. Each planted copy gets its checksum written anew unless the
// checksum is the fault, so that the check under test is the one that fires.

#include "host/image_loader/image_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using hostldr::LoadedImage;

// The host routines the test driver imports, called with the Windows x64
// convention as the image calls them.
struct EntryRecord {
    void* driverObject = nullptr;
    void* registryPath = nullptr;
    const char* greeting = nullptr;
};
EntryRecord lastEntry;

extern "C" __attribute__((ms_abi)) int32_t HostAddLongs(int32_t a, int32_t b) { return a + b; }
extern "C" __attribute__((ms_abi)) int32_t HostScaleLong(int32_t v, int32_t f) { return v * f; }
extern "C" __attribute__((ms_abi)) void HostRecordEntry(void* driverObject, void* registryPath, const char* greeting) {
    lastEntry = {driverObject, registryPath, greeting};
}

void* HostRoutine(const char* dll, const char* name) {
    std::string d = dll, n = name;
    if (d == "ntoskrnl.exe" && n == "TestAddLongs") return reinterpret_cast<void*>(&HostAddLongs);
    if (d == "ntoskrnl.exe" && n == "TestRecordEntry") return reinterpret_cast<void*>(&HostRecordEntry);
    if (d == "ks.sys" && n == "TestScaleLong") return reinterpret_cast<void*>(&HostScaleLong);
    return nullptr;
}

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
uint16_t Get16(const std::vector<uint8_t>& b, size_t at) {
    uint16_t v;
    std::memcpy(&v, b.data() + at, 2);
    return v;
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { std::memcpy(b.data() + at, &v, 2); }
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) { std::memcpy(b.data() + at, &v, 8); }

std::string Hex(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
    return text;
}

// A copy of the test driver's bytes with the places faults are planted in
// found by reading its headers.
struct TestImage {
    std::vector<uint8_t> bytes;

    TestImage() {
        std::ifstream in(QUELVIX_TEST_DRIVER_IMAGE, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    size_t FileHeader() const { return Get32(bytes, 0x3C) + 4; }
    size_t Optional() const { return FileHeader() + 20; }
    size_t ChecksumField() const { return Optional() + 64; }
    size_t Directory(int index) const { return Optional() + 112 + index * 8; }
    uint32_t DirectoryRva(int index) const { return Get32(bytes, Directory(index)); }
    uint32_t SizeOfImage() const { return Get32(bytes, Optional() + 56); }
    uint64_t ImageBase() const {
        uint64_t v;
        std::memcpy(&v, bytes.data() + Optional() + 24, 8);
        return v;
    }
    uint16_t SectionCount() const { return Get16(bytes, FileHeader() + 2); }
    size_t SectionHeader(int i) const { return Optional() + Get16(bytes, FileHeader() + 16) + i * 40; }
    std::string SectionName(int i) const {
        const char* p = reinterpret_cast<const char*>(bytes.data() + SectionHeader(i));
        return std::string(p, strnlen(p, 8));
    }
    // The header of the named section; fails the test when there is none.
    size_t Section(const std::string& name) const {
        for (int i = 0; i < SectionCount(); ++i)
            if (SectionName(i) == name) return SectionHeader(i);
        ADD_FAILURE() << "the test driver has no section " << name;
        return SectionHeader(0);
    }
    uint32_t SectionRva(const std::string& name) const { return Get32(bytes, Section(name) + 12); }
    // The file offset of an RVA, through the section holding it.
    size_t FileOffset(uint32_t rva) const {
        for (int i = 0; i < SectionCount(); ++i) {
            size_t h = SectionHeader(i);
            uint32_t va = Get32(bytes, h + 12), raw = Get32(bytes, h + 16);
            if (rva >= va && rva - va < raw) return Get32(bytes, h + 20) + (rva - va);
        }
        ADD_FAILURE() << "RVA " << Hex(rva) << " is in no section's raw data";
        return 0;
    }
    void FixChecksum() { FixChecksumAt(ChecksumField()); }
    void FixChecksumAt(size_t field) { Put32(bytes, field, hostldr::PeChecksum(bytes.data(), bytes.size(), field)); }
    std::string LoadError(const hostldr::ImportResolver& resolve = HostRoutine) const {
        std::string error;
        auto image = LoadedImage::LoadBytes(bytes, "test_driver.sys", resolve, &error);
        EXPECT_EQ(image, nullptr) << "the planted fault was not refused";
        return error;
    }
};

// The permissions /proc/self/maps shows for the mapping holding address,
// such as "r-xp"; empty when no mapping holds it.
std::string Permissions(uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long long from = 0, to = 0;
        char perms[8] = {};
        if (std::sscanf(line.c_str(), "%llx-%llx %7s", &from, &to, perms) == 3 && address >= from && address < to)
            return perms;
    }
    return "";
}

TEST(ImageLoaderRuns, TheEntryComputesFromRelocatedDataAndBoundImports) {
    std::string error;
    auto image = LoadedImage::Load(QUELVIX_TEST_DRIVER_IMAGE, HostRoutine, &error);
    ASSERT_NE(image, nullptr) << error;
    TestImage file;

    EXPECT_NE(image->Base(), image->PreferredBase()) << "the image must be moved, so that relocation is exercised";
    EXPECT_EQ(image->PreferredBase(), file.ImageBase());
    EXPECT_EQ(image->Size(), file.SizeOfImage());
    EXPECT_TRUE(image->Contains(reinterpret_cast<void*>(image->EntryPoint())));
    EXPECT_TRUE(image->Contains(reinterpret_cast<void*>(image->Base())));
    EXPECT_FALSE(image->Contains(reinterpret_cast<void*>(image->Base() + image->Size())));
    EXPECT_FALSE(image->Contains(reinterpret_cast<void*>(image->Base() - 1)));

    lastEntry = {};
    int driverObject = 0, registryPath = 0;
    int32_t status = image->EntryPoint()(reinterpret_cast<_DRIVER_OBJECT*>(&driverObject),
                                         reinterpret_cast<_UNICODE_STRING*>(&registryPath));
    // (values[2] + 4) * Triple(2) + 1 entry: every pointer followed was relocated.
    EXPECT_EQ(status, (7 + 4) * (3 * 2) + 1);
    EXPECT_EQ(lastEntry.driverObject, &driverObject);
    EXPECT_EQ(lastEntry.registryPath, &registryPath);
    ASSERT_TRUE(image->Contains(lastEntry.greeting));
    EXPECT_STREQ(lastEntry.greeting, "loaded");
    // The counter in .bss lives on between calls, as a driver's globals do.
    EXPECT_EQ(image->EntryPoint()(nullptr, nullptr), (7 + 4) * (3 * 2) + 2);
}

TEST(ImageLoaderRuns, ListsEveryImportWithTheAddressBoundToIt) {
    std::string error;
    auto image = LoadedImage::Load(QUELVIX_TEST_DRIVER_IMAGE, HostRoutine, &error);
    ASSERT_NE(image, nullptr) << error;
    std::vector<std::string> names;
    for (const hostldr::Import& i : image->Imports()) {
        names.push_back(i.dll + "!" + i.name);
        EXPECT_EQ(i.address, HostRoutine(i.dll.c_str(), i.name.c_str())) << names.back();
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"ks.sys!TestScaleLong", "ntoskrnl.exe!TestAddLongs",
                                               "ntoskrnl.exe!TestRecordEntry"}));
}

TEST(ImageLoaderRuns, EachSectionHasTheProtectionItAsksAndUnloadUnmaps) {
    std::string error;
    auto image = LoadedImage::Load(QUELVIX_TEST_DRIVER_IMAGE, HostRoutine, &error);
    ASSERT_NE(image, nullptr) << error;
    TestImage file;
    uintptr_t base = image->Base();
    EXPECT_EQ(Permissions(base), "r--p") << "headers";
    EXPECT_EQ(Permissions(base + file.SectionRva(".text")), "r-xp");
    EXPECT_EQ(Permissions(base + file.SectionRva(".data")), "rw-p");
    EXPECT_EQ(Permissions(base + file.SectionRva(".bss")), "rw-p");
    EXPECT_EQ(Permissions(base + file.SectionRva(".rdata")), "r--p");
    EXPECT_EQ(Permissions(base + file.SectionRva(".reloc")), "r--p") << "discardable, still mapped";
    image.reset();
    EXPECT_EQ(Permissions(base), "");
    EXPECT_EQ(Permissions(base + file.SectionRva(".text")), "");
}

TEST(ImageLoaderRuns, AFileThatCannotBeOpenedIsNamed) {
    std::string error;
    EXPECT_EQ(LoadedImage::Load("/nonexistent/dir/missing.sys", HostRoutine, &error), nullptr);
    EXPECT_EQ(error, "missing.sys cannot be opened (/nonexistent/dir/missing.sys)");
}

TEST(ImageLoaderChecksum, AgreesWithTheLinkerAndRefusesAnyOtherValue) {
    TestImage file;
    uint32_t written = Get32(file.bytes, file.ChecksumField());
    ASSERT_NE(written, 0u) << "ld writes the checksum of the test driver";
    EXPECT_EQ(hostldr::PeChecksum(file.bytes.data(), file.bytes.size(), file.ChecksumField()), written);

    // One byte of .text padding changed: the header no longer matches.
    TestImage changed;
    size_t text = Get32(changed.bytes, changed.Section(".text") + 20);
    size_t textRaw = Get32(changed.bytes, changed.Section(".text") + 16);
    changed.bytes[text + textRaw - 1] ^= 0x5A;
    uint32_t sum = hostldr::PeChecksum(changed.bytes.data(), changed.bytes.size(), changed.ChecksumField());
    EXPECT_NE(sum, written);
    EXPECT_EQ(changed.LoadError(), "test_driver.sys has PE checksum " + Hex(written) +
                                       " in its header, but its contents sum to " + Hex(sum) +
                                       "; the kernel loads no driver whose checksum is wrong");
    TestImage zero;
    Put32(zero.bytes, zero.ChecksumField(), 0);
    EXPECT_NE(zero.LoadError().find("has PE checksum 0x0 in its header"), std::string::npos);
}

TEST(ImageLoaderChecksum, FoldsCarriesCountsAnOddByteAndSkipsTheField) {
    // 0xFFFF + 0x0002 folds to 0x0002; the odd last byte counts as a low byte;
    // the field (bytes 4..7) is ignored whatever it holds; plus the length, 9.
    std::vector<uint8_t> data = {0xFF, 0xFF, 0x02, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x07};
    EXPECT_EQ(hostldr::PeChecksum(data.data(), data.size(), 4), 0x0002u + 0x07u + 9u);
    data[4] = 0x11;
    EXPECT_EQ(hostldr::PeChecksum(data.data(), data.size(), 4), 0x0002u + 0x07u + 9u);
    data[8] = 0x08;
    EXPECT_EQ(hostldr::PeChecksum(data.data(), data.size(), 4), 0x0002u + 0x08u + 9u);
}

TEST(ImageLoaderHeaders, WrongSignaturesMachineAndMagicAreNamed) {
    {
        TestImage t;
        t.bytes[0] = 'Z';
        EXPECT_EQ(t.LoadError(), "test_driver.sys does not start with \"MZ\"; it is not a PE image");
    }
    {
        TestImage t;
        Put32(t.bytes, 0x3C, static_cast<uint32_t>(t.bytes.size()) - 8);
        EXPECT_EQ(t.LoadError(), "test_driver.sys has its PE header at " + Hex(t.bytes.size() - 8) +
                                     ", past the end of the file (" + std::to_string(t.bytes.size()) + " bytes)");
    }
    {
        TestImage t;
        Put32(t.bytes, 0x3C, 0xFFFFFFF0);  // would wrap in 32-bit arithmetic
        EXPECT_NE(t.LoadError().find("has its PE header at 0xFFFFFFF0, past the end"), std::string::npos);
    }
    {
        TestImage t;
        t.bytes[t.FileHeader() - 2] = 'X';
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys has no \"PE\\0\\0\" signature at " + Hex(Get32(t.bytes, 0x3C)));
    }
    {
        TestImage t;
        Put16(t.bytes, t.FileHeader(), 0x14C);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys is built for machine 0x14C, not x86-64 (0x8664)");
    }
    {
        TestImage t;
        Put16(t.bytes, t.FileHeader(), 0xAA64);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys is built for machine 0xAA64, not x86-64 (0x8664)");
    }
    {
        TestImage t;
        Put16(t.bytes, t.Optional(), 0x10B);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys has optional header magic 0x10B, not PE32+ (0x20B)");
    }
    {
        TestImage t;
        Put32(t.bytes, t.Optional() + 108, 17);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys claims 17 data directories; PE32+ has at most 16");
    }
}

TEST(ImageLoaderHeaders, AlignmentsAndSizesOutsideTheFormatAreRefused) {
    {
        TestImage t;
        Put32(t.bytes, t.Optional() + 36, 0x300);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(),
                  "test_driver.sys has file alignment 0x300; it must be a power of two from 0x200 to 0x10000");
    }
    {
        TestImage t;
        Put32(t.bytes, t.Optional() + 32, 0x100);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(),
                  "test_driver.sys has section alignment 0x100; it must be a power of two no "
                  "smaller than the file alignment 0x200");
    }
    {
        TestImage t;
        Put32(t.bytes, t.Optional() + 32, 0x200);
        t.FixChecksum();
        EXPECT_NE(t.LoadError().find("has section alignment 0x200, smaller than a page"), std::string::npos);
    }
    {
        TestImage t;
        Put32(t.bytes, t.Optional() + 56, t.SizeOfImage() + 0x10);
        t.FixChecksum();
        EXPECT_NE(t.LoadError().find("has SizeOfImage " + Hex(t.SizeOfImage()) + "; it must be a multiple"),
                  std::string::npos);
    }
    {
        TestImage t;
        Put32(t.bytes, t.Optional() + 56, 0x80000000);
        t.FixChecksum();
        EXPECT_NE(t.LoadError().find("has SizeOfImage 0x80000000"), std::string::npos);
    }
    {
        TestImage t;
        Put32(t.bytes, t.Optional() + 60, static_cast<uint32_t>(t.bytes.size()) + 0x200);
        t.FixChecksum();
        EXPECT_NE(t.LoadError().find("has SizeOfHeaders"), std::string::npos);
    }
    {
        TestImage t;
        Put16(t.bytes, t.FileHeader() + 2, 0xFFFF);  // a section table far past the file
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys is cut off inside its section table (65535 sections)");
    }
}

TEST(ImageLoaderSections, RawDataPastTheFileOverlapsAndWritableCodeAreNamed) {
    {
        TestImage t;
        Put32(t.bytes, t.Section(".data") + 20, 0xFFFFFF00);  // offset + size wraps in 32 bits
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(),
                  "test_driver.sys has section .data whose raw data (0x200 bytes at 0xFFFFFF00) "
                  "reaches past the end of the file (" +
                      std::to_string(t.bytes.size()) + " bytes)");
    }
    {
        TestImage t;
        Put32(t.bytes, t.Section(".rdata") + 16, static_cast<uint32_t>(t.bytes.size()));
        t.FixChecksum();
        EXPECT_NE(t.LoadError().find("section .rdata whose raw data"), std::string::npos);
    }
    {
        TestImage t;
        Put32(t.bytes, t.Section(".data") + 12, t.SectionRva(".text"));
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys has section .data at RVA " + Hex(t.SectionRva(".text")) +
                                     ", overlapping the headers or the section before it");
    }
    {
        TestImage t;
        Put32(t.bytes, t.Section(".reloc") + 8, t.SizeOfImage());
        t.FixChecksum();
        EXPECT_NE(t.LoadError().find("section .reloc (RVA " + Hex(t.SectionRva(".reloc")) + ", " +
                                     Hex(t.SizeOfImage()) + " bytes) reaching past SizeOfImage"),
                  std::string::npos);
    }
    {
        TestImage t;
        Put32(t.bytes, t.Section(".text") + 36, Get32(t.bytes, t.Section(".text") + 36) | 0x80000000);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(),
                  "test_driver.sys has section .text both writable and executable, "
                  "which memory integrity refuses to load");
    }
    {
        TestImage t;
        Put32(t.bytes, t.Optional() + 16, t.SectionRva(".data"));
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys has its entry point at RVA " + Hex(t.SectionRva(".data")) +
                                     ", outside every executable section");
    }
}

TEST(ImageLoaderSections, EveryTruncationIsRefusedWithoutACrash) {
    TestImage whole;
    for (size_t length = 0; length < whole.bytes.size(); ++length) {
        std::vector<uint8_t> cut(whole.bytes.begin(), whole.bytes.begin() + length);
        std::string error;
        auto image = LoadedImage::LoadBytes(cut, "test_driver.sys", HostRoutine, &error);
        ASSERT_EQ(image, nullptr) << "loaded when cut to " << length << " bytes";
        ASSERT_EQ(error.rfind("test_driver.sys ", 0), 0u) << error;
    }
    // Cut just before the last section's raw data ends: that section is named.
    TestImage t;
    size_t reloc = t.Section(".reloc");
    t.bytes.resize(Get32(t.bytes, reloc + 20) + 4);
    EXPECT_EQ(t.LoadError(), "test_driver.sys has section .reloc whose raw data (" + Hex(Get32(t.bytes, reloc + 16)) +
                                 " bytes at " + Hex(Get32(t.bytes, reloc + 20)) +
                                 ") reaches past the end of the file (" + std::to_string(t.bytes.size()) + " bytes)");
}

TEST(ImageLoaderRelocations, BlocksOutOfRangeAndUnknownTypesAreNamed) {
    TestImage base;
    const uint32_t relocRva = base.DirectoryRva(5);
    const size_t block = base.FileOffset(relocRva);
    {
        TestImage t;
        Put32(t.bytes, block + 4, 0x1000);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys has a relocation block at RVA " + Hex(relocRva) +
                                     " of size 0x1000, which does not fit in its relocation directory");
    }
    {
        TestImage t;
        Put32(t.bytes, block + 4, 4);
        t.FixChecksum();
        EXPECT_NE(t.LoadError().find("relocation block at RVA " + Hex(relocRva) + " of size 0x4"), std::string::npos);
    }
    {
        TestImage t;
        Put32(t.bytes, t.Directory(5), t.SizeOfImage() - 4);
        t.FixChecksum();
        EXPECT_NE(t.LoadError().find("has its base relocations"), std::string::npos);
    }
    {
        TestImage t;  // a page beyond the image: the first DIR64 entry reaches past it
        Put32(t.bytes, block, t.SizeOfImage());
        uint16_t entry = Get16(t.bytes, block + 8);
        ASSERT_EQ(entry >> 12, 10) << "the test driver's first relocation is DIR64";
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys has a relocation at RVA " + Hex(t.SizeOfImage() + (entry & 0xFFF)) +
                                     " reaching past SizeOfImage " + Hex(t.SizeOfImage()));
    }
    {
        TestImage t;  // HIGHLOW, a 32-bit image's relocation
        uint16_t entry = Get16(t.bytes, block + 8);
        Put16(t.bytes, block + 8, static_cast<uint16_t>(0x3000 | (entry & 0xFFF)));
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys has a base relocation of type 3 at RVA " +
                                     Hex(Get32(t.bytes, block) + (entry & 0xFFF)) +
                                     "; only DIR64 (10) is supported in an x86-64 image");
    }
    {
        TestImage t;
        Put32(t.bytes, t.Directory(5) + 4, 0);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(),
                  "test_driver.sys has no base relocations, so it can be loaded only at its "
                  "image base 0x140000000, which the platform does not give it");
    }
    {
        TestImage t;
        Put16(t.bytes, t.FileHeader() + 18, Get16(t.bytes, t.FileHeader() + 18) | 0x0001);
        t.FixChecksum();
        EXPECT_NE(t.LoadError().find("has no base relocations"), std::string::npos);
    }
    {
        TestImage t;
        Put32(t.bytes, t.Directory(9), t.SectionRva(".rdata"));
        Put32(t.bytes, t.Directory(9) + 4, 40);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(),
                  "test_driver.sys has a TLS directory; the kernel does not support "
                  "thread-local storage in drivers");
    }
}

// The import descriptor of dll in t and the file offsets of its first lookup
// and address table entries.
struct Descriptor {
    size_t at = 0, lookup = 0, iat = 0;
};
Descriptor FindDescriptor(const TestImage& t, const std::string& dll) {
    for (size_t d = t.FileOffset(t.DirectoryRva(1));; d += 20) {
        if (Get32(t.bytes, d + 12) == 0) break;
        std::string name(reinterpret_cast<const char*>(t.bytes.data() + t.FileOffset(Get32(t.bytes, d + 12))));
        if (name == dll) return {d, t.FileOffset(Get32(t.bytes, d)), t.FileOffset(Get32(t.bytes, d + 16))};
    }
    ADD_FAILURE() << "the test driver imports nothing from " << dll;
    return {};
}

// The name of the routine a lookup table entry at file offset `at` names.
std::string ImportName(const TestImage& t, size_t at) {
    return reinterpret_cast<const char*>(t.bytes.data() + t.FileOffset(Get32(t.bytes, at)) + 2);
}

TEST(ImageLoaderImports, MissingRoutinesAreNamedDllBangName) {
    TestImage t;
    auto withoutRecord = [](const char* dll, const char* name) -> void* {
        return std::string(name) == "TestRecordEntry" ? nullptr : HostRoutine(dll, name);
    };
    EXPECT_EQ(t.LoadError(withoutRecord),
              "test_driver.sys imports ntoskrnl.exe!TestRecordEntry, which the platform does not provide");
    auto withoutScale = [](const char* dll, const char* name) -> void* {
        return std::string(name) == "TestScaleLong" ? nullptr : HostRoutine(dll, name);
    };
    EXPECT_EQ(t.LoadError(withoutScale),
              "test_driver.sys imports ks.sys!TestScaleLong, which the platform does not provide");
    // The same name from another DLL is another routine.
    auto scaleFromNtoskrnl = [](const char* dll, const char* name) -> void* {
        return HostRoutine(std::string(name) == "TestScaleLong" ? "ntoskrnl.exe" : dll, name);
    };
    EXPECT_EQ(t.LoadError(scaleFromNtoskrnl), t.LoadError(withoutScale));
    // No resolver at all: the first import met is the one named.
    size_t first = t.FileOffset(t.DirectoryRva(1));
    std::string firstDll = reinterpret_cast<const char*>(t.bytes.data() + t.FileOffset(Get32(t.bytes, first + 12)));
    EXPECT_EQ(t.LoadError(nullptr), "test_driver.sys imports " + firstDll + "!" +
                                        ImportName(t, t.FileOffset(Get32(t.bytes, first))) +
                                        ", which the platform does not provide");
}

TEST(ImageLoaderImports, OrdinalsAndTablesOutsideTheImageAreNamed) {
    {
        TestImage t;
        Descriptor ks = FindDescriptor(t, "ks.sys");
        Put64(t.bytes, ks.lookup, 0x8000000000000007ull);
        Put64(t.bytes, ks.iat, 0x8000000000000007ull);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(),
                  "test_driver.sys imports ordinal 7 from ks.sys; the platform binds imports by name only");
    }
    {
        TestImage t;  // no lookup table: the address table is read in its place
        Descriptor nt = FindDescriptor(t, "ntoskrnl.exe");
        Put32(t.bytes, nt.at, 0);
        Put64(t.bytes, nt.iat + 8, 0x8000000000000002ull);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(),
                  "test_driver.sys imports ordinal 2 from ntoskrnl.exe; the platform binds imports by name only");
    }
    {
        TestImage t;
        Descriptor nt = FindDescriptor(t, "ntoskrnl.exe");
        Put32(t.bytes, nt.at + 12, t.SizeOfImage());
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys has an import descriptor at RVA " +
                                     Hex(t.DirectoryRva(1) + (nt.at - t.FileOffset(t.DirectoryRva(1)))) +
                                     " whose DLL name at RVA " + Hex(t.SizeOfImage()) +
                                     " is not a terminated name within the image");
    }
    {
        TestImage t;
        Descriptor nt = FindDescriptor(t, "ntoskrnl.exe");
        Put32(t.bytes, nt.at, t.SizeOfImage() - 4);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys has the import table of ntoskrnl.exe running past SizeOfImage " +
                                     Hex(t.SizeOfImage()) + " without its closing entry");
    }
    {
        TestImage t;
        Descriptor ks = FindDescriptor(t, "ks.sys");
        Put64(t.bytes, ks.lookup, t.SizeOfImage() - 1);
        t.FixChecksum();
        EXPECT_NE(t.LoadError().find("has an import from ks.sys at RVA"), std::string::npos);
    }
    {
        TestImage t;  // bits 62..31 of a by-name entry set
        Descriptor ks = FindDescriptor(t, "ks.sys");
        Put64(t.bytes, ks.lookup, Get32(t.bytes, ks.lookup) | (1ull << 40));
        t.FixChecksum();
        EXPECT_NE(t.LoadError().find("whose name entry 0x100"), std::string::npos);
    }
    {
        TestImage t;  // a name that does not end within the image
        Descriptor ks = FindDescriptor(t, "ks.sys");
        Put64(t.bytes, ks.lookup, t.SizeOfImage() - 2);
        t.FixChecksum();
        EXPECT_NE(t.LoadError().find("import from ks.sys whose name at RVA " + Hex(t.SizeOfImage())),
                  std::string::npos);
    }
    {
        TestImage t;
        Put32(t.bytes, t.Directory(1), t.SizeOfImage() - 8);
        t.FixChecksum();
        EXPECT_EQ(t.LoadError(), "test_driver.sys has its import directory at RVA " + Hex(t.SizeOfImage() - 8) +
                                     ", past SizeOfImage " + Hex(t.SizeOfImage()));
    }
}

// Bytes of the headers and tables changed at random (with the checksum made
// right again, so the changes reach past that check): every load either
// succeeds or is refused with an error naming the file, and never crashes.
TEST(ImageLoaderRobustness, RandomChangesToTheTablesNeverCrash) {
    TestImage pristine;
    std::vector<std::pair<size_t, size_t>> regions = {
        {0, Get32(pristine.bytes, pristine.Optional() + 60)},  // every header
        {pristine.FileOffset(pristine.DirectoryRva(5)), Get32(pristine.bytes, pristine.Directory(5) + 4)},
        {Get32(pristine.bytes, pristine.Section(".idata") + 20),
         Get32(pristine.bytes, pristine.Section(".idata") + 16)},
    };
    static char dummy[16];
    auto anything = [](const char*, const char*) -> void* { return dummy; };
    std::mt19937 random(20261210);
    int loaded = 0;
    for (int run = 0; run < 3000; ++run) {
        TestImage t = pristine;
        const auto& region = regions[run % regions.size()];
        int changes = 1 + static_cast<int>(random() % 4);
        for (int c = 0; c < changes; ++c)
            t.bytes[region.first + random() % region.second] = static_cast<uint8_t>(random());
        // Where the field was: a changed e_lfanew no longer leads to it.
        t.FixChecksumAt(pristine.ChecksumField());
        std::string error;
        auto image = LoadedImage::LoadBytes(t.bytes, "test_driver.sys", anything, &error);
        if (image) {
            ++loaded;
            EXPECT_TRUE(error.empty());
        } else {
            ASSERT_EQ(error.rfind("test_driver.sys ", 0), 0u) << error;
        }
    }
    // Many changes land on bytes no loader reads; some of those loads succeed.
    EXPECT_GT(loaded, 0);
}

}  // namespace
