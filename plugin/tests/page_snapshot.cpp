// Shows the activated property page in a window at the screen's top-left for a
// few seconds, so that screenshot.sh can photograph it. Prints "READY w h"
// once the page is on screen.
//   page_snapshot [MILLISECONDS] [--bridge]
// With --bridge the page is on the real driver, through the KS-proxy
// stand-in and the `quelvixcam serve` named by QUELVIX_BRIDGE_PORT_FILE;
// otherwise on the map stand-in with a camera that offers everything.
#include <windows.h>
#include <ocidl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "IQuelvixDSProxyConfig.h"
#include "bridged_filter.h"
#include "plugin_library.h"
#include "test_filter.h"

namespace {

// A camera that offers everything the page can show.
void ShowcaseValues(TestFilter* filter) {
    filter->values[36] = 3;   // subsampling up to 8X
    filter->values[40] = 100;
    filter->values[41] = 80;
    filter->values[42] = 1280;
    filter->values[43] = 960;
    filter->values[50] = 1;   // half clock, mirror and flip offered
    filter->values[51] = 1;
    filter->values[52] = 1;
    filter->values[53] = 1;   // automatic gain offered
    filter->values[54] = 1;   // automatic exposure offered
}

void PumpFor(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    MSG message;
    while (GetTickCount() - start < milliseconds) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(20);
    }
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    const DWORD showFor = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 3000;
    const bool bridged = argc > 2 && std::strcmp(argv[2], "--bridge") == 0;
    OleInitialize(nullptr);

    IUnknown* filter = nullptr;
    if (bridged) {
        BridgedFilter* live = new BridgedFilter;
        filter = live;
        if (!live->Connect()) {
            std::printf("no bridge: %s\n", live->error.c_str());
            return 2;
        }
        if (FAILED(live->Aggregate())) return 2;
    } else {
        TestFilter* showcase = new TestFilter;
        filter = showcase;
        ShowcaseValues(showcase);
        if (FAILED(showcase->Aggregate())) return 2;
    }
    IClassFactory* factory = GetFactory(CLSID_QuelvixDSProxyPluginPage);
    IPropertyPage* page = nullptr;
    if (!factory || FAILED(factory->CreateInstance(nullptr, IID_IPropertyPage,
                                                   reinterpret_cast<void**>(&page)))) {
        return 3;
    }
    factory->Release();
    IUnknown* object = filter;
    page->SetObjects(1, &object);
    PROPPAGEINFO info = {};
    page->GetPageInfo(&info);
    CoTaskMemFree(info.pszTitle);

    HWND host = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0,
                                info.size.cx, info.size.cy, nullptr, nullptr, nullptr, nullptr);
    const RECT rect = {0, 0, info.size.cx, info.size.cy};
    if (!host || FAILED(page->Activate(host, &rect, FALSE))) return 4;
    UpdateWindow(host);
    PumpFor(500);
    std::printf("READY %ld %ld\n", info.size.cx, info.size.cy);
    PumpFor(showFor);

    page->Deactivate();
    page->SetObjects(0, nullptr);
    page->Release();
    DestroyWindow(host);
    filter->Release();
    OleUninitialize();
    return 0;
}
