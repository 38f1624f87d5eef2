// Reads a fuzz input as a stream of small decisions. Every read past the end
// gives zeros, so any input, however short, is a whole run: the fuzzer grows
// an input to reach further, never to make it valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace fuzzing {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    size_t Left() const { return at_ < size_ ? size_ - at_ : 0; }

    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) | static_cast<uint32_t>(U16()) << 16; }
    bool Flag() { return (Byte() & 1) != 0; }
    // A number in [0, count).
    uint32_t Below(uint32_t count) { return count == 0 ? 0 : (count <= 256 ? Byte() % count : U32() % count); }

    // The next `count` bytes (fewer when the input ends).
    std::vector<uint8_t> Bytes(size_t count) {
        const size_t n = count < Left() ? count : Left();
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }
    // Everything not read yet.
    std::vector<uint8_t> Rest() { return Bytes(Left()); }

    // Overwrites `edits` (the next byte) runs of `target` with input bytes,
    // each at an offset of the input's choosing: a known good structure with
    // a few fields changed reaches deeper than random bytes.
    void Edit(std::vector<uint8_t>* target) {
        const uint8_t edits = Byte() % 8;
        for (uint8_t i = 0; i < edits && !target->empty(); ++i) {
            const size_t offset = U16() % target->size();
            const size_t run = 1 + Byte() % 8;
            for (size_t k = 0; k < run && offset + k < target->size(); ++k) (*target)[offset + k] = Byte();
        }
    }

    // Changes up to three of the 32-bit fields at `offsets` (those that size
    // or place what follows them): to a value of the input, to its value
    // moved by a small amount, or to an extreme. An edit of exactly such a
    // field is what a length check is there for, and a byte edit at random
    // rarely makes one.
    void EditFields(std::vector<uint8_t>* target, const std::vector<size_t>& offsets) {
        static const uint32_t kExtremes[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFF, 0x10000};
        const uint8_t edits = Byte() % 4;
        for (uint8_t i = 0; i < edits && !offsets.empty(); ++i) {
            const size_t offset = offsets[Byte() % offsets.size()];
            if (offset + sizeof(uint32_t) > target->size()) continue;
            uint32_t value;
            std::memcpy(&value, target->data() + offset, sizeof value);
            switch (Byte() % 3) {
            case 0: value = U32(); break;
            case 1: value += static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(Byte()))); break;
            default: value = kExtremes[Byte() % (sizeof kExtremes / sizeof kExtremes[0])]; break;
            }
            std::memcpy(target->data() + offset, &value, sizeof value);
        }
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace fuzzing
