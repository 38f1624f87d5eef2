#include "host/kernel/shared_user_data.h"

#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstring>

#include "host/kernel/dispatcher.h"

namespace hostk {
namespace {

// The fields a driver may read, at their offsets in the page.
constexpr uint64_t kInterruptTimeOffset = 0x08;  // KSYSTEM_TIME
constexpr uint64_t kSystemTimeOffset = 0x14;     // KSYSTEM_TIME
constexpr uint64_t kTickCountOffset = 0x320;     // KSYSTEM_TIME / ULONG64
constexpr uint64_t kPageSize = 0x1000;

struct ImageRange {
    std::atomic<uintptr_t> base{0};
    std::atomic<size_t> size{0};
};
constexpr int kMaxImages = 16;
ImageRange g_images[kMaxImages];
std::atomic<int> g_imageCount{0};
std::atomic<size_t> g_loads{0};
struct sigaction g_previous;

bool InImage(uintptr_t address) {
    const int count = g_imageCount.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i) {
        const uintptr_t base = g_images[i].base.load(std::memory_order_relaxed);
        if (address >= base && address - base < g_images[i].size.load(std::memory_order_relaxed)) return true;
    }
    return false;
}

// The page as it stands now: the times are read from the host's clocks
// (async-signal-safe, clock_gettime underneath). The tick is 15.625 ms.
void FillPage(unsigned char* page) {
    std::memset(page, 0, kPageSize);
    const uint64_t interrupt = KeQueryInterruptTime();
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    const uint64_t ticks = interrupt / 156250;
    auto putTime = [page](uint64_t offset, uint64_t value) {
        const uint32_t low = static_cast<uint32_t>(value), high = static_cast<uint32_t>(value >> 32);
        std::memcpy(page + offset, &low, 4);
        std::memcpy(page + offset + 4, &high, 4);  // High1Time
        std::memcpy(page + offset + 8, &high, 4);  // High2Time
    };
    putTime(kInterruptTimeOffset, interrupt);
    putTime(kSystemTimeOffset, static_cast<uint64_t>(system.QuadPart));
    std::memcpy(page + kTickCountOffset, &ticks, 8);
}

// ucontext's general registers in the order of the instruction encoding.
const int kRegisterSlots[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                                REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

// The signed 32-bit displacement at code + *at; *at steps past it.
int64_t Displacement32(const unsigned char* code, size_t* at) {
    int32_t disp;
    std::memcpy(&disp, code + *at, 4);
    *at += 4;
    return disp;
}

// A load `mov reg, [base + index * scale + disp]` (8B /r, 32 or 64 bits).
// Returns its length, or 0 when the instruction is anything else.
size_t DecodeLoad(const unsigned char* code, const greg_t* regs, int* target, bool* wide, uint64_t* address) {
    size_t at = 0;
    unsigned rex = 0;
    if ((code[at] & 0xF0) == 0x40) rex = code[at++];
    if (code[at++] != 0x8B) return 0;
    const unsigned modrm = code[at++];
    const unsigned mod = modrm >> 6, rm = modrm & 7;
    if (mod == 3) return 0;
    *target = static_cast<int>(((modrm >> 3) & 7) | ((rex & 4) << 1));
    *wide = (rex & 8) != 0;
    uint64_t effective = 0;
    if (rm == 4) {
        const unsigned sib = code[at++];
        const unsigned index = ((sib >> 3) & 7) | ((rex & 2) << 2), base = (sib & 7) | ((rex & 1) << 3);
        if (index != 4) effective += static_cast<uint64_t>(regs[kRegisterSlots[index]]) << (sib >> 6);
        if ((sib & 7) == 5 && mod == 0) {
            effective += Displacement32(code, &at);
        } else {
            effective += static_cast<uint64_t>(regs[kRegisterSlots[base]]);
        }
    } else if (rm == 5 && mod == 0) {
        return 0;  // rip-relative: never the shared page
    } else {
        effective += static_cast<uint64_t>(regs[kRegisterSlots[rm | ((rex & 1) << 3)]]);
    }
    if (mod == 1) {
        effective += static_cast<int64_t>(static_cast<int8_t>(code[at++]));
    } else if (mod == 2) {
        effective += Displacement32(code, &at);
    }
    *address = effective;
    return at;
}

bool EmulateLoad(ucontext_t* context) {
    greg_t* regs = context->uc_mcontext.gregs;
    const auto* code = reinterpret_cast<const unsigned char*>(regs[REG_RIP]);
    if (!InImage(reinterpret_cast<uintptr_t>(code))) return false;
    int target;
    bool wide;
    uint64_t address;
    const size_t length = DecodeLoad(code, regs, &target, &wide, &address);
    const unsigned bytes = wide ? 8 : 4;
    if (!length || address < kSharedUserDataAddress || address - kSharedUserDataAddress > kPageSize - bytes) {
        return false;
    }
    unsigned char page[kPageSize];
    FillPage(page);
    uint64_t value = 0;
    std::memcpy(&value, page + (address - kSharedUserDataAddress), bytes);
    regs[kRegisterSlots[target]] = static_cast<greg_t>(value);  // a 32-bit load clears the upper half
    regs[REG_RIP] += static_cast<greg_t>(length);
    g_loads.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void OnFault(int signal, siginfo_t* info, void* context) {
    if (EmulateLoad(static_cast<ucontext_t*>(context))) return;
    // Not ours: hand it on as it would have gone without us.
    if (g_previous.sa_flags & SA_SIGINFO) {
        g_previous.sa_sigaction(signal, info, context);
    } else if (g_previous.sa_handler != SIG_IGN && g_previous.sa_handler != SIG_DFL) {
        g_previous.sa_handler(signal);
    } else {
        sigaction(signal, &g_previous, nullptr);  // the fault repeats and ends the program
    }
}

}  // namespace

bool ServeSharedUserData(uintptr_t base, size_t size) {
    static std::atomic<bool> installed{false};
    const int slot = g_imageCount.load();
    if (slot >= kMaxImages) return false;
    g_images[slot].base.store(base);
    g_images[slot].size.store(size);
    g_imageCount.store(slot + 1, std::memory_order_release);
    if (!installed.exchange(true)) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        // A load from a kernel address is a general protection fault: SIGSEGV.
        if (sigaction(SIGSEGV, &action, &g_previous) != 0) return false;
    }
    return true;
}

size_t SharedUserDataLoads() { return g_loads.load(); }

}  // namespace hostk
