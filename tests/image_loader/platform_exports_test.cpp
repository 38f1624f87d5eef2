// The platform's exports as a driver image binds them: module names without
// regard to case, routine names exactly, and the C runtime's routines behind
// wrappers that take the Windows convention.
#include <gtest/gtest.h>

#include <cstring>

#include "host/exports/platform_exports.h"
#include "host/wdk_host.h"

namespace {

using hostexports::PlatformExport;

TEST(PlatformExports, RoutinesAreFoundByModuleAndExactName) {
    EXPECT_EQ(PlatformExport("ntoskrnl.exe", "ExAllocatePoolWithTag"), reinterpret_cast<void*>(&ExAllocatePoolWithTag));
    EXPECT_EQ(PlatformExport("NTOSKRNL.EXE", "ExAllocatePoolWithTag"), reinterpret_cast<void*>(&ExAllocatePoolWithTag));
    EXPECT_EQ(PlatformExport("KS.SYS", "KsInitializeDriver"), reinterpret_cast<void*>(&KsInitializeDriver));
    EXPECT_EQ(PlatformExport("usbd.sys", "USBD_CreateConfigurationRequestEx"),
              reinterpret_cast<void*>(&USBD_CreateConfigurationRequestEx));
    EXPECT_EQ(PlatformExport("ntoskrnl.exe", "exallocatepoolwithtag"), nullptr);
    EXPECT_EQ(PlatformExport("ks.sys", "ExAllocatePoolWithTag"), nullptr) << "each routine in its own module";
    EXPECT_EQ(PlatformExport("hal.dll", "KeGetCurrentIrql"), nullptr);
    EXPECT_EQ(PlatformExport("ntoskrnl.exe", "KeBugCheckEx"), nullptr);
}

TEST(PlatformExports, TheRuntimeRoutinesTakeTheWindowsConvention) {
    using Memset = PVOID(NTAPI*)(PVOID, int, SIZE_T);
    using Memcmp = int(NTAPI*)(const void*, const void*, SIZE_T);
    using Compare = SIZE_T(NTAPI*)(const void*, const void*, SIZE_T);
    auto memsetRoutine = reinterpret_cast<Memset>(PlatformExport("ntoskrnl.exe", "memset"));
    auto memcmpRoutine = reinterpret_cast<Memcmp>(PlatformExport("ntoskrnl.exe", "memcmp"));
    auto compare = reinterpret_cast<Compare>(PlatformExport("ntoskrnl.exe", "RtlCompareMemory"));
    ASSERT_TRUE(memsetRoutine && memcmpRoutine && compare);
    unsigned char a[8] = {}, b[8] = {};
    EXPECT_EQ(memsetRoutine(a, 0x5A, 6), a);
    EXPECT_EQ(a[5], 0x5A);
    EXPECT_EQ(a[6], 0);
    EXPECT_GT(memcmpRoutine(a, b, 8), 0);
    EXPECT_EQ(compare(a, b, 8), 0u);
    std::memset(b, 0x5A, 4);
    EXPECT_EQ(compare(a, b, 8), 4u);
}

}  // namespace
