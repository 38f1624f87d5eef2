#include "host/image_loader/image_loader.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace hostldr {

namespace {

// The PE/COFF values the loader reads.
constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kOptionalMagicPe32Plus = 0x20B;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutableImage = 0x0002;

constexpr size_t kDosLfanewOffset = 0x3C;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kImportDescriptorSize = 20;
constexpr size_t kRelocBlockHeaderSize = 8;

// Offsets in the PE32+ optional header.
constexpr size_t kOptEntryPoint = 16;
constexpr size_t kOptImageBase = 24;
constexpr size_t kOptSectionAlignment = 32;
constexpr size_t kOptFileAlignment = 36;
constexpr size_t kOptSizeOfImage = 56;
constexpr size_t kOptSizeOfHeaders = 60;
constexpr size_t kOptCheckSum = 64;
constexpr size_t kOptNumberOfRvaAndSizes = 108;
constexpr size_t kOptDataDirectories = 112;
constexpr uint32_t kMaxDataDirectories = 16;

constexpr uint32_t kDirImport = 1;
constexpr uint32_t kDirBaseReloc = 5;
constexpr uint32_t kDirTls = 9;

constexpr uint32_t kScnMemExecute = 0x20000000;
constexpr uint32_t kScnMemRead = 0x40000000;
constexpr uint32_t kScnMemWrite = 0x80000000;

constexpr uint16_t kRelBasedAbsolute = 0;
constexpr uint16_t kRelBasedDir64 = 10;

constexpr uint64_t kImportByOrdinal = 1ull << 63;

// A driver is a few hundred KiB; anything near these is a damaged header, and
// refusing it keeps a hostile file from making us reserve or read gigabytes.
constexpr size_t kMaxFileSize = 64u << 20;
constexpr uint32_t kMaxSizeOfImage = 256u << 20;
constexpr size_t kMaxDllNameLength = 255;
constexpr size_t kMaxRoutineNameLength = 1024;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Read32(const uint8_t* p) { return Read16(p) | static_cast<uint32_t>(Read16(p + 2)) << 16; }
uint64_t Read64(const uint8_t* p) { return Read32(p) | static_cast<uint64_t>(Read32(p + 4)) << 32; }

// offset..offset+length lies within 0..total; written so that nothing can wrap.
bool Within(uint64_t offset, uint64_t length, uint64_t total) { return offset <= total && length <= total - offset; }

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint64_t AlignUp(uint64_t v, uint64_t alignment) { return (v + alignment - 1) & ~(alignment - 1); }

std::string Hex(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
    return text;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A section's name as the header holds it (up to eight bytes, NUL padded),
// with anything unprintable shown as '?' so that an error stays one line.
std::string SectionName(const uint8_t* header) {
    std::string name;
    for (size_t i = 0; i < 8 && header[i] != 0; ++i) {
        char c = static_cast<char>(header[i]);
        name += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return name.empty() ? "(unnamed)" : name;
}

struct Section {
    std::string name;
    uint32_t virtualAddress;
    uint32_t virtualSize;  // what the image occupies, before section alignment
    uint32_t rawPointer;
    uint32_t rawSize;
    uint32_t characteristics;
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

int Protection(uint32_t characteristics) {
    int prot = PROT_NONE;
    if (characteristics & kScnMemRead) prot |= PROT_READ;
    if (characteristics & kScnMemWrite) prot |= PROT_WRITE;
    if (characteristics & kScnMemExecute) prot |= PROT_EXEC;
    return prot;
}

}  // namespace

uint32_t PeChecksum(const uint8_t* data, size_t size, size_t checksumOffset) {
    uint64_t sum = 0;
    for (size_t i = 0; i < size; i += 2) {
        uint32_t word = data[i];
        if (i + 1 < size) word |= static_cast<uint32_t>(data[i + 1]) << 8;
        // The CheckSum field itself counts as zero, byte by byte, so that an odd
        // placement of the field is still handled the same way.
        if (i >= checksumOffset && i < checksumOffset + 4) word &= 0xFF00;
        if (i + 1 >= checksumOffset && i + 1 < checksumOffset + 4) word &= 0x00FF;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + size);
}

// Does the work of one load; LoadedImage keeps only what outlives it.
class ImageMapper {
public:
    ImageMapper(const uint8_t* data, size_t size, std::string name, const ImportResolver& resolve)
        : file_(data), fileSize_(size), name_(std::move(name)), resolve_(resolve) {}

    ~ImageMapper() {
        if (mapping_ != nullptr) munmap(mapping_, mappedSize_);
    }

    std::unique_ptr<LoadedImage> Run(std::string* error) {
        if (!ParseHeaders() || !ParseSections() || !CheckChecksum() || !Map() || !Relocate() || !BindImports() ||
            !Protect()) {
            if (error != nullptr) *error = error_;
            return nullptr;
        }
        std::unique_ptr<LoadedImage> image(new LoadedImage);
        image->base_ = reinterpret_cast<uintptr_t>(mapping_);
        image->size_ = sizeOfImage_;
        image->mappedSize_ = mappedSize_;
        image->preferredBase_ = imageBase_;
        image->entry_ = reinterpret_cast<DriverEntryRoutine>(image->base_ + entryRva_);
        image->imports_ = std::move(imports_);
        mapping_ = nullptr;  // the image owns the mapping now
        return image;
    }

private:
    bool Fail(const std::string& what) {
        error_ = name_ + " " + what;
        return false;
    }

    bool ParseHeaders() {
        if (fileSize_ > kMaxFileSize)
            return Fail("is " + std::to_string(fileSize_) + " bytes, more than a driver image can be (" +
                        std::to_string(kMaxFileSize) + ")");
        if (fileSize_ < kDosLfanewOffset + 4)
            return Fail("is too short (" + std::to_string(fileSize_) + " bytes) to hold a DOS header");
        if (Read16(file_) != kDosMagic) return Fail("does not start with \"MZ\"; it is not a PE image");
        uint32_t lfanew = Read32(file_ + kDosLfanewOffset);
        if (!Within(lfanew, 4 + kFileHeaderSize, fileSize_))
            return Fail("has its PE header at " + Hex(lfanew) + ", past the end of the file (" +
                        std::to_string(fileSize_) + " bytes)");
        if (Read32(file_ + lfanew) != kPeSignature) return Fail("has no \"PE\\0\\0\" signature at " + Hex(lfanew));

        const uint8_t* fileHeader = file_ + lfanew + 4;
        uint16_t machine = Read16(fileHeader);
        if (machine != kMachineAmd64) return Fail("is built for machine " + Hex(machine) + ", not x86-64 (0x8664)");
        numberOfSections_ = Read16(fileHeader + 2);
        uint16_t sizeOfOptionalHeader = Read16(fileHeader + 16);
        fileCharacteristics_ = Read16(fileHeader + 18);
        if (!(fileCharacteristics_ & kFileExecutableImage))
            return Fail("is not marked as an executable image (an object file?)");
        if (numberOfSections_ == 0) return Fail("has no sections");

        optOffset_ = lfanew + 4 + kFileHeaderSize;
        if (sizeOfOptionalHeader < kOptDataDirectories)
            return Fail("has an optional header of " + std::to_string(sizeOfOptionalHeader) +
                        " bytes, too short for PE32+ (at least 112)");
        if (!Within(optOffset_, sizeOfOptionalHeader, fileSize_)) return Fail("is cut off inside its optional header");
        const uint8_t* opt = file_ + optOffset_;
        uint16_t magic = Read16(opt);
        if (magic != kOptionalMagicPe32Plus)
            return Fail("has optional header magic " + Hex(magic) + ", not PE32+ (0x20B)");

        entryRva_ = Read32(opt + kOptEntryPoint);
        imageBase_ = Read64(opt + kOptImageBase);
        sectionAlignment_ = Read32(opt + kOptSectionAlignment);
        fileAlignment_ = Read32(opt + kOptFileAlignment);
        sizeOfImage_ = Read32(opt + kOptSizeOfImage);
        sizeOfHeaders_ = Read32(opt + kOptSizeOfHeaders);
        checksum_ = Read32(opt + kOptCheckSum);

        uint32_t directories = Read32(opt + kOptNumberOfRvaAndSizes);
        if (directories > kMaxDataDirectories)
            return Fail("claims " + std::to_string(directories) + " data directories; PE32+ has at most 16");
        if (kOptDataDirectories + directories * 8ull > sizeOfOptionalHeader)
            return Fail("claims " + std::to_string(directories) +
                        " data directories, more than its optional header holds");
        for (uint32_t i = 0; i < directories; ++i) {
            directories_[i].rva = Read32(opt + kOptDataDirectories + i * 8);
            directories_[i].size = Read32(opt + kOptDataDirectories + i * 8 + 4);
        }

        // The PE format's bounds: file alignment a power of two from 512 to 64 KiB,
        // section alignment at least that. We also need every section to start on
        // a page of its own, so that each can get its own protection.
        long page = sysconf(_SC_PAGESIZE);
        pageSize_ = page > 0 ? static_cast<uint32_t>(page) : 4096;
        if (!IsPowerOfTwo(fileAlignment_) || fileAlignment_ < 512 || fileAlignment_ > 0x10000)
            return Fail("has file alignment " + Hex(fileAlignment_) +
                        "; it must be a power of two from 0x200 to 0x10000");
        if (!IsPowerOfTwo(sectionAlignment_) || sectionAlignment_ < fileAlignment_)
            return Fail("has section alignment " + Hex(sectionAlignment_) +
                        "; it must be a power of two no smaller than the file alignment " + Hex(fileAlignment_));
        if (sectionAlignment_ < pageSize_)
            return Fail("has section alignment " + Hex(sectionAlignment_) + ", smaller than a page (" + Hex(pageSize_) +
                        "), so its sections cannot have protections of their own");
        if (sizeOfImage_ == 0 || sizeOfImage_ > kMaxSizeOfImage || sizeOfImage_ % sectionAlignment_ != 0)
            return Fail("has SizeOfImage " + Hex(sizeOfImage_) + "; it must be a multiple of the section alignment " +
                        Hex(sectionAlignment_) + " no larger than " + Hex(kMaxSizeOfImage));

        sectionTableOffset_ = optOffset_ + sizeOfOptionalHeader;
        uint64_t tableEnd = sectionTableOffset_ + uint64_t{numberOfSections_} * kSectionHeaderSize;
        if (tableEnd > fileSize_)
            return Fail("is cut off inside its section table (" + std::to_string(numberOfSections_) + " sections)");
        if (sizeOfHeaders_ < tableEnd || sizeOfHeaders_ > fileSize_ || sizeOfHeaders_ > sizeOfImage_)
            return Fail("has SizeOfHeaders " + Hex(sizeOfHeaders_) +
                        ", which must cover the section table and lie within the file and the image");
        return true;
    }

    bool ParseSections() {
        uint64_t nextFree = AlignUp(sizeOfHeaders_, sectionAlignment_);
        for (uint32_t i = 0; i < numberOfSections_; ++i) {
            const uint8_t* h = file_ + sectionTableOffset_ + i * kSectionHeaderSize;
            Section s;
            s.name = SectionName(h);
            s.virtualSize = Read32(h + 8);
            s.virtualAddress = Read32(h + 12);
            s.rawSize = Read32(h + 16);
            s.rawPointer = Read32(h + 20);
            s.characteristics = Read32(h + 36);
            // A VirtualSize of zero means the section is as large as its raw data.
            if (s.virtualSize == 0) s.virtualSize = s.rawSize;
            const std::string which = "section " + s.name;

            if (s.virtualAddress % sectionAlignment_ != 0)
                return Fail("has " + which + " at RVA " + Hex(s.virtualAddress) +
                            ", not a multiple of the section alignment " + Hex(sectionAlignment_));
            if (s.virtualAddress < nextFree)
                return Fail("has " + which + " at RVA " + Hex(s.virtualAddress) +
                            ", overlapping the headers or the section before it");
            if (s.virtualSize == 0) return Fail("has " + which + " of size zero");
            uint64_t end = AlignUp(uint64_t{s.virtualAddress} + s.virtualSize, sectionAlignment_);
            if (end > sizeOfImage_)
                return Fail("has " + which + " (RVA " + Hex(s.virtualAddress) + ", " + Hex(s.virtualSize) +
                            " bytes) reaching past SizeOfImage " + Hex(sizeOfImage_));
            if (s.rawSize != 0 && !Within(s.rawPointer, s.rawSize, fileSize_))
                return Fail("has " + which + " whose raw data (" + Hex(s.rawSize) + " bytes at " + Hex(s.rawPointer) +
                            ") reaches past the end of the file (" + std::to_string(fileSize_) + " bytes)");
            if ((s.characteristics & kScnMemWrite) && (s.characteristics & kScnMemExecute))
                return Fail("has " + which + " both writable and executable, which memory integrity refuses to load");
            nextFree = end;
            sections_.push_back(s);
        }
        return true;
    }

    bool CheckChecksum() {
        uint32_t sum = PeChecksum(file_, fileSize_, optOffset_ + kOptCheckSum);
        if (sum != checksum_)
            return Fail("has PE checksum " + Hex(checksum_) + " in its header, but its contents sum to " + Hex(sum) +
                        "; the kernel loads no driver whose checksum is wrong");
        return true;
    }

    // The mapping is reserved wherever the host puts it and never at the image
    // base the file asks for, so every load goes through the relocations, as
    // the kernel's loading of a driver anywhere in system space does.
    bool Map() {
        if (fileCharacteristics_ & kFileRelocsStripped || directories_[kDirBaseReloc].size == 0)
            return Fail("has no base relocations, so it can be loaded only at its image base " + Hex(imageBase_) +
                        ", which the platform does not give it");
        if (directories_[kDirTls].rva != 0 || directories_[kDirTls].size != 0)
            return Fail("has a TLS directory; the kernel does not support thread-local storage in drivers");
        if (entryRva_ == 0) return Fail("has no entry point");
        const Section* entrySection = SectionAt(entryRva_);
        if (entrySection == nullptr || !(entrySection->characteristics & kScnMemExecute))
            return Fail("has its entry point at RVA " + Hex(entryRva_) + ", outside every executable section");

        // SizeOfImage is a multiple of the section alignment, so of the page size.
        mappedSize_ = sizeOfImage_;
        void* at = mmap(nullptr, mappedSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at == MAP_FAILED) return Fail("cannot be mapped: " + std::string(std::strerror(errno)));
        if (reinterpret_cast<uintptr_t>(at) == imageBase_) {
            // Keep the unwanted range reserved while asking for another.
            void* other = mmap(nullptr, mappedSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            munmap(at, mappedSize_);
            if (other == MAP_FAILED) return Fail("cannot be mapped: " + std::string(std::strerror(errno)));
            at = other;
        }
        mapping_ = static_cast<uint8_t*>(at);

        std::memcpy(mapping_, file_, sizeOfHeaders_);
        for (const Section& s : sections_) {
            // Raw data beyond VirtualSize is file padding; VirtualSize beyond the
            // raw data stays zero, as the fresh mapping is.
            uint32_t copy = s.rawSize < s.virtualSize ? s.rawSize : s.virtualSize;
            if (copy != 0) std::memcpy(mapping_ + s.virtualAddress, file_ + s.rawPointer, copy);
        }
        return true;
    }

    const Section* SectionAt(uint32_t rva) const {
        for (const Section& s : sections_)
            if (rva >= s.virtualAddress && rva - s.virtualAddress < s.virtualSize) return &s;
        return nullptr;
    }

    bool Relocate() {
        const DataDirectory& dir = directories_[kDirBaseReloc];
        if (!Within(dir.rva, dir.size, sizeOfImage_))
            return Fail("has its base relocations (" + Hex(dir.size) + " bytes at RVA " + Hex(dir.rva) +
                        ") reaching past SizeOfImage " + Hex(sizeOfImage_));
        uint64_t delta = reinterpret_cast<uintptr_t>(mapping_) - imageBase_;
        uint32_t at = 0;
        while (at < dir.size) {
            if (dir.size - at < kRelocBlockHeaderSize)
                return Fail("has a relocation block header cut off at RVA " + Hex(dir.rva + at));
            const uint8_t* block = mapping_ + dir.rva + at;
            uint32_t pageRva = Read32(block);
            uint32_t blockSize = Read32(block + 4);
            if (blockSize < kRelocBlockHeaderSize || blockSize % 2 != 0 || blockSize > dir.size - at)
                return Fail("has a relocation block at RVA " + Hex(dir.rva + at) + " of size " + Hex(blockSize) +
                            ", which does not fit in its relocation directory");
            for (uint32_t e = kRelocBlockHeaderSize; e < blockSize; e += 2) {
                uint16_t entry = Read16(block + e);
                uint16_t type = entry >> 12;
                uint64_t target = uint64_t{pageRva} + (entry & 0x0FFF);
                if (type == kRelBasedAbsolute) continue;
                if (type != kRelBasedDir64)
                    return Fail("has a base relocation of type " + std::to_string(type) + " at RVA " + Hex(target) +
                                "; only DIR64 (10) is supported in an x86-64 image");
                if (!Within(target, 8, sizeOfImage_))
                    return Fail("has a relocation at RVA " + Hex(target) + " reaching past SizeOfImage " +
                                Hex(sizeOfImage_));
                uint64_t value;
                std::memcpy(&value, mapping_ + target, 8);
                value += delta;
                std::memcpy(mapping_ + target, &value, 8);
            }
            at += blockSize;
        }
        return true;
    }

    // A NUL-terminated ASCII name at rva in the mapped image, at most maxLength
    // characters; false when it runs past the image or holds anything else.
    bool ReadName(uint32_t rva, size_t maxLength, std::string* name) const {
        name->clear();
        for (uint64_t p = rva; p < sizeOfImage_; ++p) {
            char c = static_cast<char>(mapping_[p]);
            if (c == '\0') return !name->empty();
            if (c < 0x21 || c > 0x7E || name->size() == maxLength) return false;
            *name += c;
        }
        return false;
    }

    bool BindImports() {
        const DataDirectory& dir = directories_[kDirImport];
        if (dir.size == 0 && dir.rva == 0) return true;
        if (!Within(dir.rva, kImportDescriptorSize, sizeOfImage_))
            return Fail("has its import directory at RVA " + Hex(dir.rva) + ", past SizeOfImage " + Hex(sizeOfImage_));
        // The list ends at an all-zero descriptor, as the kernel reads it; the
        // directory's size is not trusted to say where.
        for (uint64_t d = dir.rva;; d += kImportDescriptorSize) {
            if (!Within(d, kImportDescriptorSize, sizeOfImage_))
                return Fail("has an import directory that runs past SizeOfImage without its closing entry");
            const uint8_t* desc = mapping_ + d;
            uint32_t lookupRva = Read32(desc);
            uint32_t nameRva = Read32(desc + 12);
            uint32_t iatRva = Read32(desc + 16);
            if (nameRva == 0 && iatRva == 0) break;

            std::string dll;
            if (!ReadName(nameRva, kMaxDllNameLength, &dll))
                return Fail("has an import descriptor at RVA " + Hex(d) + " whose DLL name at RVA " + Hex(nameRva) +
                            " is not a terminated name within the image");
            if (iatRva == 0) return Fail("imports from " + dll + " with no import address table");
            if (lookupRva == 0) lookupRva = iatRva;
            if (!BindDll(dll, lookupRva, iatRva)) return false;
        }
        return true;
    }

    bool BindDll(const std::string& dll, uint32_t lookupRva, uint32_t iatRva) {
        for (uint64_t i = 0;; ++i) {
            uint64_t lookupAt = lookupRva + i * 8;
            uint64_t iatAt = iatRva + i * 8;
            if (!Within(lookupAt, 8, sizeOfImage_) || !Within(iatAt, 8, sizeOfImage_))
                return Fail("has the import table of " + dll + " running past SizeOfImage " + Hex(sizeOfImage_) +
                            " without its closing entry");
            uint64_t thunk = Read64(mapping_ + lookupAt);
            if (thunk == 0) return true;
            if (thunk & kImportByOrdinal)
                return Fail("imports ordinal " + std::to_string(thunk & 0xFFFF) + " from " + dll +
                            "; the platform binds imports by name only");
            // Bits 62..31 of a by-name entry are zero; the rest is the RVA of the
            // hint (two bytes) and the name.
            if (thunk > 0x7FFFFFFF || !Within(thunk, 2, sizeOfImage_))
                return Fail("has an import from " + dll + " at RVA " + Hex(lookupAt) + " whose name entry " +
                            Hex(thunk) + " lies outside the image");
            std::string routine;
            if (!ReadName(static_cast<uint32_t>(thunk) + 2, kMaxRoutineNameLength, &routine))
                return Fail("has an import from " + dll + " whose name at RVA " + Hex(thunk + 2) +
                            " is not a terminated name within the image");
            void* address = resolve_ ? resolve_(dll.c_str(), routine.c_str()) : nullptr;
            if (address == nullptr)
                return Fail("imports " + dll + "!" + routine + ", which the platform does not provide");
            uint64_t value = reinterpret_cast<uintptr_t>(address);
            std::memcpy(mapping_ + iatAt, &value, 8);
            imports_.push_back(Import{dll, routine, address});
        }
    }

    // Each section as its characteristics ask, the headers read-only, any gap
    // between sections inaccessible.
    bool Protect() {
        if (mprotect(mapping_, mappedSize_, PROT_NONE) != 0 ||
            mprotect(mapping_, AlignUp(sizeOfHeaders_, pageSize_), PROT_READ) != 0)
            return Fail("cannot have its headers protected: " + std::string(std::strerror(errno)));
        for (const Section& s : sections_) {
            uint64_t length = AlignUp(s.virtualSize, sectionAlignment_);
            if (mprotect(mapping_ + s.virtualAddress, length, Protection(s.characteristics)) != 0)
                return Fail("cannot have section " + s.name +
                            " protected as it asks: " + std::string(std::strerror(errno)));
        }
        return true;
    }

    const uint8_t* file_;
    size_t fileSize_;
    std::string name_;
    const ImportResolver& resolve_;
    std::string error_;

    uint32_t pageSize_ = 4096;
    size_t optOffset_ = 0;
    size_t sectionTableOffset_ = 0;
    uint32_t numberOfSections_ = 0;
    uint16_t fileCharacteristics_ = 0;
    uint32_t entryRva_ = 0;
    uint64_t imageBase_ = 0;
    uint32_t sectionAlignment_ = 0;
    uint32_t fileAlignment_ = 0;
    uint32_t sizeOfImage_ = 0;
    uint32_t sizeOfHeaders_ = 0;
    uint32_t checksum_ = 0;
    DataDirectory directories_[kMaxDataDirectories];
    std::vector<Section> sections_;

    uint8_t* mapping_ = nullptr;
    size_t mappedSize_ = 0;
    std::vector<Import> imports_;
};

std::unique_ptr<LoadedImage> LoadedImage::LoadBytes(const uint8_t* data, size_t size, const std::string& displayName,
                                                    const ImportResolver& resolve, std::string* error) {
    return ImageMapper(data, size, displayName, resolve).Run(error);
}

std::unique_ptr<LoadedImage> LoadedImage::Load(const std::string& path, const ImportResolver& resolve,
                                               std::string* error) {
    const std::string name = BaseName(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error != nullptr) *error = name + " cannot be opened (" + path + ")";
        return nullptr;
    }
    in.seekg(0, std::ios::end);
    std::streamoff length = in.tellg();
    in.seekg(0, std::ios::beg);
    if (length < 0 || static_cast<uint64_t>(length) > kMaxFileSize) {
        if (error != nullptr)
            *error = name + " is larger than a driver image can be (" + std::to_string(kMaxFileSize) + " bytes)";
        return nullptr;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), length)) {
        if (error != nullptr) *error = name + " cannot be read (" + path + ")";
        return nullptr;
    }
    return LoadBytes(bytes, name, resolve, error);
}

LoadedImage::~LoadedImage() {
    if (base_ != 0) munmap(reinterpret_cast<void*>(base_), mappedSize_);
}

}  // namespace hostldr
