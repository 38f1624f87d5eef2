// CQuelvixDSProxyPluginPage: the camera's settings page. It binds to the
// filter's IQuelvixDSProxyConfig, fills every control from the driver when it
// is activated, and sends each change at once from the control that made it.
#pragma once

#include "IQuelvixDSProxyConfig.h"
#include "base_property_page.h"

class CQuelvixDSProxyPluginPage : public CBasePropertyPage {
public:
    // ServerClassTable creation function; the page may be aggregated or not.
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* result);

private:
    explicit CQuelvixDSProxyPluginPage(IUnknown* outer);

    HRESULT OnObjectSet(IUnknown* object) override;
    HRESULT OnObjectCleared() override;
    HRESULT OnPageActivated() override;
    HRESULT OnPageDeactivated() override;
    HRESULT OnApply() override;
    INT_PTR OnPageMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

    // Driver access: reads give the preset when unbound or unanswered.
    LONG Read(ULONG id, LONG preset);
    void Write(ULONG id, LONG value);

    // Activation, one step per group of controls, in this order.
    void InitExposureAndGain();
    void InitOptionalSwitches();
    LONG InitSwitchStates();  // returns the white balance state
    void InitColourGains();
    void InitPicture();
    void InitRegion(LONG subSampleMax, LONG subSample);
    void InitSubsampling(LONG subSampleMax, LONG subSample);
    void InitRegionLock();
    void InitTriggerAndAuto();

    // Messages while active.
    void OnCommand(int id, int code);
    void OnControlCommand(int id);
    void OnNotification(int id, int code);
    void OnSliderScroll(HWND slider);
    void OnSpinScroll(HWND spin);
    void OnAutoWhiteBalance();
    void OnPictureDefault();
    void OnTimeoutSet();
    void OnRegionSet();
    void OnRegionDefault();
    void OnRegionEdit(int id);

    // Control helpers.
    HWND Item(int id) const { return GetDlgItem(m_dialogWindow, id); }
    bool IsChecked(int id) const;
    UINT EditNumber(int id) const;
    void SetEditNumber(int id, LONG value);
    void EnableItems(const int* ids, int count, bool enable);
    void ShowSliderValue(int slider, int edit, int spin, LONG value);
    void InitSliderGroup(int slider, int edit, int spin, LONG min, LONG max, LONG value);

    IQuelvixDSProxyConfig* m_config;
    bool m_active;
};
