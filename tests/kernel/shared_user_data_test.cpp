// Loads from the kernel's shared data page, as wdm.h's inline
// KeQueryInterruptTime compiles them, are answered from the host's clocks for
// code inside a registered image, and for no other code.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "host/kernel/shared_user_data.h"
#include "host/wdk_host.h"

namespace {

// A routine of hand-assembled x86-64 in a page of its own, made executable
// the way the loader maps an image's code. The page is never unmapped: a
// registered range lasts for the life of the process, and a later routine
// must not land in one by chance.
class Routine {
public:
    explicit Routine(const std::vector<unsigned char>& code) {
        page_ = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        std::memcpy(page_, code.data(), code.size());
        mprotect(page_, 4096, PROT_READ | PROT_EXEC);
    }
    uint64_t Call() const { return reinterpret_cast<uint64_t (*)()>(page_)(); }
    uintptr_t Base() const { return reinterpret_cast<uintptr_t>(page_); }

private:
    void* page_;
};

std::vector<unsigned char> Movabs(unsigned char rexAndOpcode0, unsigned char opcode1, uint64_t value) {
    std::vector<unsigned char> code = {rexAndOpcode0, opcode1};
    for (int i = 0; i < 8; ++i) code.push_back(static_cast<unsigned char>(value >> (8 * i)));
    return code;
}

// push r13; movabs r13, 0xFFFFF78000000008; mov rax, [r13+0]; pop r13;
// ret: the capture thread's KeQueryInterruptTime as mingw-w64 compiled it.
Routine InterruptTimeLoad() {
    std::vector<unsigned char> code = {0x41, 0x55};
    std::vector<unsigned char> load = Movabs(0x49, 0xBD, hostk::kSharedUserDataAddress + 8);
    code.insert(code.end(), load.begin(), load.end());
    code.insert(code.end(), {0x49, 0x8B, 0x45, 0x00, 0x41, 0x5D, 0xC3});
    return Routine(code);
}

TEST(SharedUserData, AnImagesLoadOfTheInterruptTimeIsAnsweredFromTheHostClock) {
    Routine routine = InterruptTimeLoad();
    ASSERT_TRUE(hostk::ServeSharedUserData(routine.Base(), 4096));
    const size_t loads = hostk::SharedUserDataLoads();
    const ULONGLONG before = KeQueryInterruptTime();
    const uint64_t read = routine.Call();
    const ULONGLONG after = KeQueryInterruptTime();
    EXPECT_GE(read, before);
    EXPECT_LE(read, after);
    EXPECT_EQ(hostk::SharedUserDataLoads(), loads + 1);
}

// movabs rcx, 0xFFFFF78000000000; mov eax, [rcx+0x320]; ret: a 32-bit load
// of the tick count through a base and a 32-bit displacement.
TEST(SharedUserData, AThirtyTwoBitLoadWithADisplacementReadsTheTickCount) {
    std::vector<unsigned char> code = Movabs(0x48, 0xB9, hostk::kSharedUserDataAddress);
    code.insert(code.end(), {0x8B, 0x81, 0x20, 0x03, 0x00, 0x00, 0xC3});
    Routine routine(code);
    ASSERT_TRUE(hostk::ServeSharedUserData(routine.Base(), 4096));
    const uint64_t ticks = KeQueryInterruptTime() / 156250;
    const uint64_t read = routine.Call();
    EXPECT_GE(read, ticks);
    EXPECT_LE(read, ticks + 1);
    EXPECT_EQ(read >> 32, 0u) << "a 32-bit load clears the upper half";
}

TEST(SharedUserDataDeathTest, TheSameLoadOutsideAnyImageStillFaults) {
    EXPECT_DEATH(
        {
            Routine registered = InterruptTimeLoad();
            hostk::ServeSharedUserData(registered.Base(), 4096);
            Routine stranger = InterruptTimeLoad();
            stranger.Call();
        },
        "");
}

}  // namespace
