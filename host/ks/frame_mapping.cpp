#include "host/ks/frame_mapping.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "host/kernel/pool.h"

namespace hostks {

namespace {

void* MapShared(int fd, size_t bytes, int protection) {
    // Populated now, on the mapping thread: the pages of a locked buffer are
    // resident before the driver writes to them.
    const int flags = MAP_SHARED | (protection == PROT_NONE ? 0 : MAP_POPULATE);
    return mmap(nullptr, bytes, protection, flags, fd, 0);
}

}  // namespace

std::shared_ptr<FrameMapping> FrameMapping::Create(size_t bytes, bool clientView) {
    std::shared_ptr<FrameMapping> mapping(new FrameMapping);
    if (bytes == 0) return mapping;  // nothing to map; every address stays null
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t mapped = (bytes + page - 1) / page * page;
    int fd = memfd_create("ks-frame", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    mapping->bytes_ = bytes;
    mapping->mapped_ = mapped;
    bool ok = ftruncate(fd, static_cast<off_t>(mapped)) == 0;
    void* system = ok ? MapShared(fd, mapped, PROT_READ | PROT_WRITE) : MAP_FAILED;
    void* application = ok ? MapShared(fd, mapped, PROT_NONE) : MAP_FAILED;
    void* client = ok && clientView ? MapShared(fd, mapped, PROT_READ | PROT_WRITE) : nullptr;
    close(fd);  // the mappings keep the pages
    if (system != MAP_FAILED) mapping->system_ = static_cast<uint8_t*>(system);
    if (application != MAP_FAILED) mapping->application_ = application;
    if (client != MAP_FAILED) mapping->client_ = static_cast<uint8_t*>(client);
    if (!mapping->system_ || !mapping->application_ || (clientView && !mapping->client_)) return nullptr;
    return mapping;
}

FrameMapping::~FrameMapping() {
    if (system_) munmap(system_, mapped_);
    if (application_) munmap(application_, mapped_);
    if (client_) munmap(client_, mapped_);
}

std::shared_ptr<FrameMapping> FrameMappingCache::Lease(const void* client, size_t bytes) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (Entry& entry : entries_) {
            if (entry.client == client && entry.mapping->Bytes() == bytes && !entry.leased) {
                entry.leased = true;
                entry.lastUse = ++uses_;
                return entry.mapping;
            }
        }
    }
    // Mapped outside the lock: populating 8 MB takes a while.
    std::shared_ptr<FrameMapping> mapping = FrameMapping::Create(bytes, false);
    if (!mapping) return nullptr;
    std::lock_guard<std::mutex> hold(lock_);
    entries_.push_back(Entry{client, mapping, true, ++uses_});
    return mapping;
}

void FrameMappingCache::Return(const std::shared_ptr<FrameMapping>& mapping) {
    std::lock_guard<std::mutex> hold(lock_);
    size_t idle = 0;
    for (Entry& entry : entries_) {
        if (entry.mapping == mapping) entry.leased = false;
        if (!entry.leased) ++idle;
    }
    while (idle > kIdleKept) {
        auto oldest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it)
            if (!it->leased && (oldest == entries_.end() || it->lastUse < oldest->lastUse)) oldest = it;
        entries_.erase(oldest);
        --idle;
    }
}

size_t FrameMappingCache::Size() const {
    std::lock_guard<std::mutex> hold(lock_);
    return entries_.size();
}

long long FindFreshPoolFill(const uint8_t* data, size_t bytes) {
    uint64_t fill;
    std::memset(&fill, hostk::kFreshPoolFill, sizeof fill);
    // 64 bytes at a time with no branch between the words, which the
    // compiler turns into vector compares; the word-by-word walk below
    // finds the exact place once a block holds the fill.
    size_t at = 0;
    for (; at + 64 <= bytes; at += 64) {
        uint64_t words[8];
        std::memcpy(words, data + at, sizeof words);
        bool found = false;
        for (uint64_t word : words) found |= word == fill;
        if (found) break;
    }
    for (; at + sizeof fill <= bytes; at += sizeof fill) {
        uint64_t word;
        std::memcpy(&word, data + at, sizeof word);
        if (word == fill) return static_cast<long long>(at);
    }
    return -1;
}

}  // namespace hostks
