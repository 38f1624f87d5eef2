#include "frame_mapping.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "kernel/pool.h"

namespace hostks {

FrameMapping::~FrameMapping() {
    if (system_) munmap(system_, mapped_);
    if (application_) munmap(application_, mapped_);
}

bool FrameMapping::Map(const void* client, size_t bytes) {
    if (bytes == 0) return true;  // nothing to map; both addresses stay null
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t mapped = (bytes + page - 1) / page * page;
    int fd = memfd_create("ks-frame", MFD_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ftruncate(fd, static_cast<off_t>(mapped)) == 0;
    void* system = ok ? mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    void* application = ok ? mmap(nullptr, mapped, PROT_NONE, MAP_SHARED, fd, 0) : MAP_FAILED;
    close(fd);  // the mappings keep the pages
    if (system == MAP_FAILED || application == MAP_FAILED) {
        if (system != MAP_FAILED) munmap(system, mapped);
        if (application != MAP_FAILED) munmap(application, mapped);
        return false;
    }
    system_ = static_cast<uint8_t*>(system);
    application_ = application;
    bytes_ = bytes;
    mapped_ = mapped;
    if (client) std::memcpy(system_, client, bytes);
    return true;
}

void FrameMapping::CopyTo(void* client) const {
    if (client && system_) std::memcpy(client, system_, bytes_);
}

long long FindFreshPoolFill(const uint8_t* data, size_t bytes) {
    uint64_t fill;
    std::memset(&fill, hostk::kFreshPoolFill, sizeof fill);
    for (size_t at = 0; at + sizeof fill <= bytes; at += sizeof fill) {
        uint64_t word;
        std::memcpy(&word, data + at, sizeof word);
        if (word == fill) return static_cast<long long>(at);
    }
    return -1;
}

}  // namespace hostks
