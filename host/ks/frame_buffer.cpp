#include "host/ks/frame_buffer.h"

#include <map>
#include <mutex>

#include "host/ks/frame_mapping.h"

namespace hostks {

namespace {

// Every live FrameBuffer by the address of its client view.
struct Registry {
    std::mutex lock;
    std::map<const void*, std::weak_ptr<FrameMapping>> buffers;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

FrameBuffer::FrameBuffer(size_t bytes) : mapping_(FrameMapping::Create(bytes, true)) {
    if (!mapping_ || !mapping_->Client()) return;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    registry.buffers[mapping_->Client()] = mapping_;
}

FrameBuffer::~FrameBuffer() {
    if (!mapping_ || !mapping_->Client()) return;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    registry.buffers.erase(mapping_->Client());
}

uint8_t* FrameBuffer::data() const { return mapping_ ? mapping_->Client() : nullptr; }

size_t FrameBuffer::size() const { return mapping_ && mapping_->Client() ? mapping_->Bytes() : 0; }

std::shared_ptr<FrameMapping> FindFrameBuffer(const void* data, size_t bytes) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    auto it = registry.buffers.find(data);
    if (it == registry.buffers.end()) return nullptr;
    std::shared_ptr<FrameMapping> mapping = it->second.lock();
    return mapping && mapping->Bytes() >= bytes ? mapping : nullptr;
}

}  // namespace hostks
