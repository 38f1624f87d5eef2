// The host platform's stand-in for the kernel loading a driver image: maps a
// PE32+ x86-64 image (QuelvixZ51RDS.sys) into this process, relocates it to
// wherever the mapping landed, binds its imports by name to host routines and
// gives each section the protection it asks for. The caller runs the entry
// point; nothing in the image runs here.
//
// The file is untrusted input: every header, section, directory, relocation,
// import descriptor, name and thunk is checked against the file and the image
// before it is used, and a malformed file is refused with one sentence that
// names the file and the fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct _DRIVER_OBJECT;
struct _UNICODE_STRING;

namespace hostldr {

// A driver image's entry: NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING),
// called with the Windows x64 convention whatever the host's is.
typedef int32_t(__attribute__((ms_abi)) * DriverEntryRoutine)(struct _DRIVER_OBJECT* driver,
                                                              struct _UNICODE_STRING* registryPath);

// The address of the host routine for dll!name, or nullptr when the platform
// does not provide it. Imported routines are called with the Windows x64
// convention, so what it returns must be __attribute__((ms_abi)) code.
using ImportResolver = std::function<void*(const char* dll, const char* name)>;

// One routine the image imports, as its import directory names it.
struct Import {
    std::string dll;
    std::string name;
    void* address;  // what the resolver gave, now in the image's IAT
};

class LoadedImage {
public:
    // Reads and loads the file at path; on failure returns nullptr and sets
    // *error (when error is not null) to a sentence beginning with the file's
    // name, e.g. "QuelvixZ51RDS.sys imports ntoskrnl.exe!KeFooBar, which the
    // platform does not provide".
    static std::unique_ptr<LoadedImage> Load(const std::string& path, const ImportResolver& resolve,
                                             std::string* error);
    // Loads an image held in memory; displayName stands for the file in errors.
    static std::unique_ptr<LoadedImage> LoadBytes(const uint8_t* data, size_t size, const std::string& displayName,
                                                  const ImportResolver& resolve, std::string* error);
    static std::unique_ptr<LoadedImage> LoadBytes(const std::vector<uint8_t>& bytes, const std::string& displayName,
                                                  const ImportResolver& resolve, std::string* error) {
        return LoadBytes(bytes.data(), bytes.size(), displayName, resolve, error);
    }

    ~LoadedImage();  // unmaps the image
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    // AddressOfEntryPoint, where the image now lies.
    DriverEntryRoutine EntryPoint() const { return entry_; }
    uintptr_t Base() const { return base_; }
    size_t Size() const { return size_; }  // SizeOfImage
    bool Contains(const void* p) const {
        auto a = reinterpret_cast<uintptr_t>(p);
        return a >= base_ && a - base_ < size_;
    }
    // The image base the file asked for; Base() is never this.
    uint64_t PreferredBase() const { return preferredBase_; }
    // Every imported routine, in import directory order.
    const std::vector<Import>& Imports() const { return imports_; }

private:
    LoadedImage() = default;
    friend class ImageMapper;

    uintptr_t base_ = 0;
    size_t size_ = 0;
    size_t mappedSize_ = 0;
    uint64_t preferredBase_ = 0;
    DriverEntryRoutine entry_ = nullptr;
    std::vector<Import> imports_;
};

// The PE image checksum of a file, as the kernel checks a driver's: the
// 16-bit words of the file summed with the carries folded back in, the four
// bytes of the CheckSum field (at checksumOffset) counted as zero, plus the
// file's length.
uint32_t PeChecksum(const uint8_t* data, size_t size, size_t checksumOffset);

}  // namespace hostldr
