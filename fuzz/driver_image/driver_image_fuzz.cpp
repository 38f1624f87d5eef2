// Fuzz target: a driver image file, as the host's image loader maps it
// (hostldr::LoadedImage::LoadBytes), every import bound to a dummy routine.
//
// Before loading, the target writes the PE checksum the input's own header
// points to, so that inputs reach the section, relocation and import
// checks behind it instead of stopping at the checksum (whose refusal the
// ordinary tests cover, tests/image_loader).
//
// What must hold for every input:
//  - a refusal says why in a sentence that begins with the file's name;
//  - an accepted image lies wholly in one mapping whose entry point is
//    inside it and is not at the image base it asked for, and every import
//    it lists is bound to the address the resolver gave.
// A violation aborts with what went wrong, which libFuzzer reports as a crash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/image_loader/image_loader.h"

namespace {

[[noreturn]] void Violated(const char* what) {
    std::fprintf(stderr, "driver_image fuzz: %s\n", what);
    std::abort();
}

char dummyRoutines[64];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    if (size >= 0x40) {
        uint32_t lfanew;
        std::memcpy(&lfanew, bytes.data() + 0x3C, 4);
        uint64_t field = uint64_t{lfanew} + 4 + 20 + 64;
        if (field + 4 <= size) {
            uint32_t sum = hostldr::PeChecksum(bytes.data(), size, field);
            std::memcpy(bytes.data() + field, &sum, 4);
        }
    }
    auto resolve = [](const char* dll, const char* name) -> void* {
        return dummyRoutines + (std::strlen(dll) + std::strlen(name)) % sizeof dummyRoutines;
    };
    std::string error;
    auto image = hostldr::LoadedImage::LoadBytes(bytes, "fuzzed.sys", resolve, &error);
    if (!image) {
        if (error.rfind("fuzzed.sys ", 0) != 0 || error.size() <= 11) Violated("a refusal without a reason");
        return 0;
    }
    if (!error.empty()) Violated("an accepted image with an error");
    if (image->Base() == image->PreferredBase()) Violated("loaded at its preferred base, unrelocated");
    if (!image->Contains(reinterpret_cast<void*>(image->EntryPoint()))) Violated("an entry point outside the image");
    for (const hostldr::Import& i : image->Imports())
        if (i.address != resolve(i.dll.c_str(), i.name.c_str())) Violated("an import bound elsewhere");
    return 0;
}
