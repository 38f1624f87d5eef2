// Test programs run on an OLE single-threaded apartment, as a property sheet
// host would; output is unbuffered so that it survives a crash under Wine.
#include <windows.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    testing::InitGoogleTest(&argc, argv);
    if (FAILED(OleInitialize(nullptr))) {
        std::fprintf(stderr, "OleInitialize failed\n");
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    OleUninitialize();
    return result;
}
