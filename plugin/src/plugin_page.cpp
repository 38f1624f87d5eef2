#include "plugin_page.h"

#include <commctrl.h>
#include <new>

#include "camera_property_set.h"
#include "resource.h"

namespace {

// The slider never reaches further than this, whatever maximum the driver reports.
const LONG kSliderCap = 5000;
const LONG kMinRoiWidth = 32;
const LONG kMinRoiHeightSpin = 8;
const LONG kMinRoiSize = 32;
// The time-out edit takes what the driver trusts from the registry.
const UINT kTimeoutMin = CameraTimeoutMin;
const UINT kTimeoutMax = CameraTimeoutMax;
const int kMaxSubsampleEntry = 3;
const LRESULT kMaxSubsampleIndex = 4;

// A trackbar with the edit that records the value last sent, its up-down and
// the property they drive.
struct SliderGroup {
    int slider;
    int edit;
    int spin;
    ULONG property;
};

const SliderGroup kSliderGroups[] = {
    {IDC_EXPOSURE_SLIDER, IDC_EXPOSURE_EDIT, IDC_EXPOSURE_SPIN, PropertyExposure},
    {IDC_GAIN_SLIDER, IDC_GAIN_EDIT, IDC_GAIN_SPIN, PropertyGlobalGain},
    {IDC_RED_SLIDER, IDC_RED_EDIT, IDC_RED_SPIN, PropertyRedGain},
    {IDC_GREEN_SLIDER, IDC_GREEN_EDIT, IDC_GREEN_SPIN, PropertyGreenGain},
    {IDC_BLUE_SLIDER, IDC_BLUE_EDIT, IDC_BLUE_SPIN, PropertyBlueGain},
    {IDC_BRIGHTNESS_SLIDER, IDC_BRIGHTNESS_EDIT, IDC_BRIGHTNESS_SPIN, PropertyBrightness},
    {IDC_SATURATION_SLIDER, IDC_SATURATION_EDIT, IDC_SATURATION_SPIN, PropertySaturation},
    {IDC_CONTRAST_SLIDER, IDC_CONTRAST_EDIT, IDC_CONTRAST_SPIN, PropertyContrast},
    {IDC_HUE_SLIDER, IDC_HUE_EDIT, IDC_HUE_SPIN, PropertyHue},
};

// Check boxes that write their state (1 or 0) and do nothing else.
struct SwitchBox {
    int box;
    ULONG property;
};

const SwitchBox kSwitchBoxes[] = {
    {IDC_MIRROR, PropertyFlipH},         {IDC_FLIP, PropertyFlipV},
    {IDC_COLOR_ENABLE, PropertyColorEnable}, {IDC_EXTRIGGER, PropertyExTrigger},
    {IDC_COLOR_CORRECTION, PropertyColorCorrection}, {IDC_HALF_CLOCK, PropertyHalfClock},
};

const int kColourGainControls[] = {IDC_RED_SLIDER,   IDC_RED_EDIT,   IDC_RED_SPIN,
                                   IDC_GREEN_SLIDER, IDC_GREEN_EDIT, IDC_GREEN_SPIN,
                                   IDC_BLUE_SLIDER,  IDC_BLUE_EDIT,  IDC_BLUE_SPIN};
const int kRegionSpins[] = {IDC_ROI_X_SPIN, IDC_ROI_Y_SPIN, IDC_ROI_W_SPIN, IDC_ROI_H_SPIN};
const int kRegionControls[] = {IDC_ROI_X_EDIT, IDC_ROI_Y_EDIT, IDC_ROI_W_EDIT, IDC_ROI_H_EDIT,
                               IDC_ROI_X_SPIN, IDC_ROI_Y_SPIN, IDC_ROI_W_SPIN, IDC_ROI_H_SPIN};
const int kRegionLockControls[] = {
    IDC_SUBSAMPLE,  IDC_ROI_X_EDIT, IDC_ROI_Y_EDIT, IDC_ROI_W_EDIT, IDC_ROI_H_EDIT, IDC_ROI_X_SPIN,
    IDC_ROI_Y_SPIN, IDC_ROI_W_SPIN, IDC_ROI_H_SPIN, IDC_ROI_DEFAULT, IDC_ROI_SET};
const int kExposureControls[] = {IDC_EXPOSURE_SLIDER, IDC_EXPOSURE_EDIT};
const int kGainControls[] = {IDC_GAIN_SLIDER, IDC_GAIN_EDIT};

const wchar_t* const kSubsampleNames[] = {L"Keep origin", L"Skip 2X", L"Skip 4X", L"Skip 8X"};

// A region edit, its up-down, and how its number is accepted against the full
// size: x and y must lie inside the image, width and height may equal it.
struct RegionField {
    int edit;
    int spin;
    bool horizontal;
    bool sizeField;
};

const RegionField kRegionFields[] = {
    {IDC_ROI_X_EDIT, IDC_ROI_X_SPIN, true, false},
    {IDC_ROI_Y_EDIT, IDC_ROI_Y_SPIN, false, false},
    {IDC_ROI_W_EDIT, IDC_ROI_W_SPIN, true, true},
    {IDC_ROI_H_EDIT, IDC_ROI_H_SPIN, false, true},
};

template <typename T, int N>
constexpr int Count(const T (&)[N]) {
    return N;
}

}  // namespace

CUnknown* CQuelvixDSProxyPluginPage::CreateInstance(IUnknown* outer, HRESULT* result) {
    CQuelvixDSProxyPluginPage* page = new (std::nothrow) CQuelvixDSProxyPluginPage(outer);
    if (!page) *result = E_OUTOFMEMORY;
    return page;
}

CQuelvixDSProxyPluginPage::CQuelvixDSProxyPluginPage(IUnknown* outer)
    : CBasePropertyPage(L"Morvex Camera Property Page", outer, IDD_QUELVIX_PAGE, IDS_PAGE_TITLE),
      m_config(nullptr),
      m_active(false) {}

// ---------------------------------------------------------------------------
// Hooks

HRESULT CQuelvixDSProxyPluginPage::OnObjectSet(IUnknown* object) {
    if (m_config) return S_OK;
    return object->QueryInterface(IID_IQuelvixDSProxyConfig, reinterpret_cast<void**>(&m_config));
}

HRESULT CQuelvixDSProxyPluginPage::OnObjectCleared() {
    if (m_config) {
        m_config->Release();
        m_config = nullptr;
    }
    return S_OK;
}

HRESULT CQuelvixDSProxyPluginPage::OnPageActivated() {
    InitExposureAndGain();
    InitOptionalSwitches();
    const LONG whiteBalance = InitSwitchStates();
    InitColourGains();
    InitPicture();

    const LONG subSampleMax = Read(PropertySubSampleMax, 0);
    const LONG subSample = Read(PropertySubSample, 0);
    InitRegion(subSampleMax, subSample);
    InitSubsampling(subSampleMax, subSample);
    InitRegionLock();

    EnableItems(kColourGainControls, Count(kColourGainControls), whiteBalance == 0);
    InitTriggerAndAuto();
    // Only now: the filling above must not be taken for the user's edits.
    m_active = true;
    return S_OK;
}

HRESULT CQuelvixDSProxyPluginPage::OnPageDeactivated() {
    m_active = false;
    return S_OK;
}

// Every change has already gone to the driver; Apply only closes the edit.
HRESULT CQuelvixDSProxyPluginPage::OnApply() {
    SetDirty(false);
    return S_OK;
}

INT_PTR CQuelvixDSProxyPluginPage::OnPageMessage(HWND window, UINT message, WPARAM wParam,
                                                 LPARAM lParam) {
    if (m_active) {
        switch (message) {
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            break;
        case WM_HSCROLL:
            OnSliderScroll(reinterpret_cast<HWND>(lParam));
            break;
        case WM_VSCROLL:
            OnSpinScroll(reinterpret_cast<HWND>(lParam));
            break;
        default:
            break;
        }
    }
    return CBasePropertyPage::OnPageMessage(window, message, wParam, lParam);
}

// ---------------------------------------------------------------------------
// Driver access

LONG CQuelvixDSProxyPluginPage::Read(ULONG id, LONG preset) {
    LONG value = preset;
    // The result is not looked at: a failed read leaves the preset in place.
    if (m_config) m_config->GetValue(id, &value);
    return value;
}

void CQuelvixDSProxyPluginPage::Write(ULONG id, LONG value) {
    if (m_config) m_config->SetValue(id, value);
}

// ---------------------------------------------------------------------------
// Control helpers

bool CQuelvixDSProxyPluginPage::IsChecked(int id) const {
    return IsDlgButtonChecked(m_dialogWindow, id) == BST_CHECKED;
}

UINT CQuelvixDSProxyPluginPage::EditNumber(int id) const {
    return GetDlgItemInt(m_dialogWindow, id, nullptr, FALSE);
}

void CQuelvixDSProxyPluginPage::SetEditNumber(int id, LONG value) {
    SetDlgItemInt(m_dialogWindow, id, static_cast<UINT>(value), FALSE);
}

void CQuelvixDSProxyPluginPage::EnableItems(const int* ids, int count, bool enable) {
    for (int i = 0; i < count; ++i) EnableWindow(Item(ids[i]), enable ? TRUE : FALSE);
}

void CQuelvixDSProxyPluginPage::ShowSliderValue(int slider, int edit, int spin, LONG value) {
    SetEditNumber(edit, value);
    SendMessageW(Item(spin), UDM_SETPOS32, 0, value);
    SendMessageW(Item(slider), TBM_SETPOS, TRUE, value);
}

void CQuelvixDSProxyPluginPage::InitSliderGroup(int slider, int edit, int spin, LONG min,
                                                LONG max, LONG value) {
    HWND sliderWindow = Item(slider);
    SendMessageW(sliderWindow, TBM_SETRANGEMIN, FALSE, min);
    SendMessageW(sliderWindow, TBM_SETRANGEMAX, FALSE, max);
    SendMessageW(sliderWindow, TBM_SETPOS, TRUE, value);
    SendMessageW(Item(spin), UDM_SETRANGE32, min, max);
    SendMessageW(Item(spin), UDM_SETPOS32, 0, value);
    SetEditNumber(edit, value);
}

// ---------------------------------------------------------------------------
// Activation

void CQuelvixDSProxyPluginPage::InitExposureAndGain() {
    const LONG exposureMin = Read(PropertyExposureMin, 0);
    LONG exposureMax = Read(PropertyExposureMax, 1000);
    const LONG exposure = Read(PropertyExposure, 200);
    if (m_config && exposureMax > kSliderCap) exposureMax = kSliderCap;
    InitSliderGroup(IDC_EXPOSURE_SLIDER, IDC_EXPOSURE_EDIT, IDC_EXPOSURE_SPIN, exposureMin,
                    exposureMax, exposure);

    const LONG gainMin = Read(PropertyGlobalGainMin, 0);
    LONG gainMax = Read(PropertyGlobalGainMax, 1000);
    const LONG gain = Read(PropertyGlobalGain, 200);
    if (m_config && gainMax > kSliderCap) gainMax = kSliderCap;
    InitSliderGroup(IDC_GAIN_SLIDER, IDC_GAIN_EDIT, IDC_GAIN_SPIN, gainMin, gainMax, gain);
}

// Switches the camera may not have are shown only when the driver says it has them.
void CQuelvixDSProxyPluginPage::InitOptionalSwitches() {
    const LONG halfClock = Read(PropertyHalfClockSupported, 0);
    const LONG flipH = Read(PropertyFlipHSupported, 0);
    const LONG flipV = Read(PropertyFlipVSupported, 0);
    ShowWindow(Item(IDC_HALF_CLOCK), halfClock ? SW_SHOW : SW_HIDE);
    ShowWindow(Item(IDC_MIRROR), flipH ? SW_SHOW : SW_HIDE);
    ShowWindow(Item(IDC_FLIP), flipV ? SW_SHOW : SW_HIDE);
}

LONG CQuelvixDSProxyPluginPage::InitSwitchStates() {
    const LONG exTrigger = Read(PropertyExTrigger, 0);
    const LONG timeout = Read(PropertyTimeout, 3000);
    const LONG flipH = Read(PropertyFlipH, 0);
    const LONG flipV = Read(PropertyFlipV, 1000);
    const LONG colorEnable = Read(PropertyColorEnable, 1);
    const LONG whiteBalance = Read(PropertyWhiteBalance, 0);
    const LONG colorCorrection = Read(PropertyColorCorrection, 1);
    const LONG halfClock = Read(PropertyHalfClock, 0);
    CheckDlgButton(m_dialogWindow, IDC_EXTRIGGER, exTrigger ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(m_dialogWindow, IDC_MIRROR, flipH ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(m_dialogWindow, IDC_FLIP, flipV ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(m_dialogWindow, IDC_COLOR_ENABLE, colorEnable ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(m_dialogWindow, IDC_WHITE_BALANCE, whiteBalance ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(m_dialogWindow, IDC_COLOR_CORRECTION,
                   colorCorrection ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(m_dialogWindow, IDC_HALF_CLOCK, halfClock ? BST_CHECKED : BST_UNCHECKED);
    SetEditNumber(IDC_TIMEOUT_EDIT, timeout);
    return whiteBalance;
}

void CQuelvixDSProxyPluginPage::InitColourGains() {
    const LONG min = Read(PropertyColorGainMin, 1);
    const LONG max = Read(PropertyColorGainMax, 300);
    const LONG red = Read(PropertyRedGain, 128);
    const LONG green = Read(PropertyGreenGain, 128);
    const LONG blue = Read(PropertyBlueGain, 128);
    InitSliderGroup(IDC_RED_SLIDER, IDC_RED_EDIT, IDC_RED_SPIN, min, max, red);
    InitSliderGroup(IDC_GREEN_SLIDER, IDC_GREEN_EDIT, IDC_GREEN_SPIN, min, max, green);
    InitSliderGroup(IDC_BLUE_SLIDER, IDC_BLUE_EDIT, IDC_BLUE_SPIN, min, max, blue);
}

void CQuelvixDSProxyPluginPage::InitPicture() {
    const LONG brightnessMin = Read(PropertyBrightnessMin, 0);
    const LONG brightnessMax = Read(PropertyBrightnessMax, 510);
    const LONG brightness = Read(PropertyBrightness, 255);
    const LONG saturationMin = Read(PropertySaturationMin, 0);
    const LONG saturationMax = Read(PropertySaturationMax, 20);
    const LONG saturation = Read(PropertySaturation, 10);
    const LONG contrastMin = Read(PropertyContrastMin, 0);
    const LONG contrastMax = Read(PropertyContrastMax, 20);
    const LONG contrast = Read(PropertyContrast, 10);
    const LONG hueMin = Read(PropertyHueMin, 0);
    const LONG hueMax = Read(PropertyHueMax, 359);
    const LONG hue = Read(PropertyHue, 0);
    InitSliderGroup(IDC_BRIGHTNESS_SLIDER, IDC_BRIGHTNESS_EDIT, IDC_BRIGHTNESS_SPIN, brightnessMin,
                    brightnessMax, brightness);
    InitSliderGroup(IDC_SATURATION_SLIDER, IDC_SATURATION_EDIT, IDC_SATURATION_SPIN, saturationMin,
                    saturationMax, saturation);
    InitSliderGroup(IDC_CONTRAST_SLIDER, IDC_CONTRAST_EDIT, IDC_CONTRAST_SPIN, contrastMin,
                    contrastMax, contrast);
    InitSliderGroup(IDC_HUE_SLIDER, IDC_HUE_EDIT, IDC_HUE_SPIN, hueMin, hueMax, hue);
}

// The driver's region means something only with subsampling available and
// none selected; otherwise the page shows the whole image.
void CQuelvixDSProxyPluginPage::InitRegion(LONG subSampleMax, LONG subSample) {
    const LONG width = Read(PropertySensorWidth, 0);
    const LONG height = Read(PropertySensorHeight, 0);
    const LONG x = Read(PropertyRoiX, 0);
    const LONG y = Read(PropertyRoiY, 0);
    const LONG roiWidth = Read(PropertyRoiW, 0);
    const LONG roiHeight = Read(PropertyRoiH, 0);
    SetEditNumber(IDC_FULL_WIDTH, width);
    SetEditNumber(IDC_FULL_HEIGHT, height);

    const bool driverRegion = subSampleMax >= 1 && subSample <= 0;
    const struct {
        int edit;
        int spin;
        LONG min;
        LONG max;
        LONG value;
    } fields[] = {
        {IDC_ROI_X_EDIT, IDC_ROI_X_SPIN, 0, width, driverRegion ? x : 0},
        {IDC_ROI_Y_EDIT, IDC_ROI_Y_SPIN, 0, height, driverRegion ? y : 0},
        {IDC_ROI_W_EDIT, IDC_ROI_W_SPIN, kMinRoiWidth, width, driverRegion ? roiWidth : width},
        {IDC_ROI_H_EDIT, IDC_ROI_H_SPIN, kMinRoiHeightSpin, height,
         driverRegion ? roiHeight : height},
    };
    for (const auto& field : fields) {
        SendMessageW(Item(field.spin), UDM_SETRANGE32, field.min, field.max);
        SendMessageW(Item(field.spin), UDM_SETPOS32, 0, field.value);
        SetEditNumber(field.edit, field.value);
    }
    EnableItems(kRegionSpins, Count(kRegionSpins), true);
}

void CQuelvixDSProxyPluginPage::InitSubsampling(LONG subSampleMax, LONG subSample) {
    HWND combo = Item(IDC_SUBSAMPLE);
    if (subSampleMax < 1) {
        EnableWindow(combo, FALSE);
        return;
    }
    EnableWindow(combo, TRUE);
    for (LONG i = 0; i <= subSampleMax && i <= kMaxSubsampleEntry; ++i) {
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kSubsampleNames[i]));
    }
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(subSample), 0);
    if (subSample > 0) EnableItems(kRegionControls, Count(kRegionControls), false);
}

// While a capture pin exists the frame geometry cannot change.
void CQuelvixDSProxyPluginPage::InitRegionLock() {
    if (Read(PropertyPinOpen, 0)) EnableItems(kRegionLockControls, Count(kRegionLockControls), false);
}

void CQuelvixDSProxyPluginPage::InitTriggerAndAuto() {
    EnableWindow(Item(IDC_EXTRIGGER), Read(PropertyExTriggerSupported, 0) == 1);

    const LONG agcSupported = Read(PropertyAGCSupported, 0);
    const LONG aecSupported = Read(PropertyAECSupported, 0);
    const LONG agc = Read(PropertyAGC, 0);
    const LONG aec = Read(PropertyAEC, 0);
    EnableWindow(Item(IDC_AUTO_EXPOSURE), aecSupported != 0);
    EnableWindow(Item(IDC_AUTO_GAIN), agcSupported != 0);
    // With automatic control on, the manual slider and edit are locked; the
    // up-downs stay enabled.
    if (aec) CheckDlgButton(m_dialogWindow, IDC_AUTO_EXPOSURE, BST_CHECKED);
    EnableItems(kExposureControls, Count(kExposureControls), aec == 0);
    if (agc) CheckDlgButton(m_dialogWindow, IDC_AUTO_GAIN, BST_CHECKED);
    EnableItems(kGainControls, Count(kGainControls), agc == 0);
}

// ---------------------------------------------------------------------------
// Commands

void CQuelvixDSProxyPluginPage::OnCommand(int id, int code) {
    if (m_config) OnControlCommand(id);
    OnNotification(id, code);
}

// Actions of the controls that talk to the driver; only while bound.
void CQuelvixDSProxyPluginPage::OnControlCommand(int id) {
    for (const SwitchBox& box : kSwitchBoxes) {
        if (box.box == id) {
            Write(box.property, IsChecked(id) ? 1 : 0);
            return;
        }
    }
    switch (id) {
    case IDC_AUTO_EXPOSURE: {
        const bool automatic = IsChecked(id);
        Write(PropertyAEC, automatic ? 1 : 0);
        EnableItems(kExposureControls, Count(kExposureControls), !automatic);
        break;
    }
    case IDC_AUTO_GAIN: {
        const bool automatic = IsChecked(id);
        Write(PropertyAGC, automatic ? 1 : 0);
        EnableItems(kGainControls, Count(kGainControls), !automatic);
        break;
    }
    case IDC_WHITE_BALANCE:
        OnAutoWhiteBalance();
        break;
    case IDC_PICTURE_DEFAULT:
        OnPictureDefault();
        break;
    case IDC_ROI_SET:
        OnRegionSet();
        break;
    case IDC_ROI_DEFAULT:
        OnRegionDefault();
        break;
    case IDC_TIMEOUT_SET:
        OnTimeoutSet();
        break;
    default:
        break;
    }
}

// Page-side state changes; these run bound or not.
void CQuelvixDSProxyPluginPage::OnNotification(int id, int code) {
    if (id == IDC_TIMEOUT_EDIT && code == EN_CHANGE) {
        SetDirty(true);
    } else if (id == IDC_SUBSAMPLE && code == CBN_SELCHANGE) {
        const LRESULT selection = SendMessageW(Item(IDC_SUBSAMPLE), CB_GETCURSEL, 0, 0);
        EnableItems(kRegionControls, Count(kRegionControls), selection <= 0);
    } else if (code == EN_CHANGE) {
        OnRegionEdit(id);
    }
}

// When automatic white balance is switched off the driver keeps the gains it
// found; they are read back so the controls show where the user starts from.
void CQuelvixDSProxyPluginPage::OnAutoWhiteBalance() {
    const bool automatic = IsChecked(IDC_WHITE_BALANCE);
    Write(PropertyWhiteBalance, automatic ? 1 : 0);
    if (!automatic) {
        const LONG red = Read(PropertyRedGain, 128);
        const LONG green = Read(PropertyGreenGain, 128);
        const LONG blue = Read(PropertyBlueGain, 128);
        ShowSliderValue(IDC_RED_SLIDER, IDC_RED_EDIT, IDC_RED_SPIN, red);
        ShowSliderValue(IDC_GREEN_SLIDER, IDC_GREEN_EDIT, IDC_GREEN_SPIN, green);
        ShowSliderValue(IDC_BLUE_SLIDER, IDC_BLUE_EDIT, IDC_BLUE_SPIN, blue);
    }
    EnableItems(kColourGainControls, Count(kColourGainControls), !automatic);
}

void CQuelvixDSProxyPluginPage::OnPictureDefault() {
    const LONG brightness = Read(PropertyBrightnessDefault, 255);
    const LONG contrast = Read(PropertyContrastDefault, 10);
    const LONG saturation = Read(PropertySaturationDefault, 10);
    const LONG hue = Read(PropertyHueDefault, 0);
    ShowSliderValue(IDC_BRIGHTNESS_SLIDER, IDC_BRIGHTNESS_EDIT, IDC_BRIGHTNESS_SPIN, brightness);
    ShowSliderValue(IDC_CONTRAST_SLIDER, IDC_CONTRAST_EDIT, IDC_CONTRAST_SPIN, contrast);
    ShowSliderValue(IDC_SATURATION_SLIDER, IDC_SATURATION_EDIT, IDC_SATURATION_SPIN, saturation);
    ShowSliderValue(IDC_HUE_SLIDER, IDC_HUE_EDIT, IDC_HUE_SPIN, hue);
    Write(PropertyBrightness, brightness);
    Write(PropertyContrast, contrast);
    Write(PropertySaturation, saturation);
    Write(PropertyHue, hue);
}

// Out-of-range text (non-numbers read as 0) is dropped without a word.
void CQuelvixDSProxyPluginPage::OnTimeoutSet() {
    const UINT timeout = EditNumber(IDC_TIMEOUT_EDIT);
    if (timeout >= kTimeoutMin && timeout <= kTimeoutMax) {
        Write(PropertyTimeout, static_cast<LONG>(timeout));
    }
}

// The region is clamped into the full image before it is sent; the edits keep
// what the user typed. Sums are formed in 64 bits so that large typed numbers
// cannot overflow.
void CQuelvixDSProxyPluginPage::OnRegionSet() {
    const LONG fullWidth = static_cast<LONG>(EditNumber(IDC_FULL_WIDTH));
    const LONG fullHeight = static_cast<LONG>(EditNumber(IDC_FULL_HEIGHT));
    LRESULT subsample = SendMessageW(Item(IDC_SUBSAMPLE), CB_GETCURSEL, 0, 0);
    if (subsample < 0 || subsample > kMaxSubsampleIndex) subsample = 0;
    LONG x = static_cast<LONG>(EditNumber(IDC_ROI_X_EDIT));
    LONG y = static_cast<LONG>(EditNumber(IDC_ROI_Y_EDIT));
    LONG width = static_cast<LONG>(EditNumber(IDC_ROI_W_EDIT));
    LONG height = static_cast<LONG>(EditNumber(IDC_ROI_H_EDIT));

    if (static_cast<LONGLONG>(x) >= static_cast<LONGLONG>(fullWidth) - kMinRoiSize) x = 0;
    if (x < 0) x = 0;
    if (static_cast<LONGLONG>(y) >= static_cast<LONGLONG>(fullHeight) - kMinRoiSize) y = 0;
    if (y < 0) y = 0;
    if (width < kMinRoiSize) width = kMinRoiSize;
    if (height < kMinRoiSize) height = kMinRoiSize;
    if (static_cast<LONGLONG>(x) + width > fullWidth) width = fullWidth - x;
    if (static_cast<LONGLONG>(y) + height > fullHeight) height = fullHeight - y;

    if (m_config) m_config->SetRoi(static_cast<LONG>(subsample), x, y, width, height);
}

void CQuelvixDSProxyPluginPage::OnRegionDefault() {
    const LONG fullWidth = static_cast<LONG>(EditNumber(IDC_FULL_WIDTH));
    const LONG fullHeight = static_cast<LONG>(EditNumber(IDC_FULL_HEIGHT));
    SetEditNumber(IDC_ROI_X_EDIT, 0);
    SetEditNumber(IDC_ROI_Y_EDIT, 0);
    SetEditNumber(IDC_ROI_W_EDIT, fullWidth);
    SetEditNumber(IDC_ROI_H_EDIT, fullHeight);
    SendMessageW(Item(IDC_ROI_X_SPIN), UDM_SETPOS32, 0, 0);
    SendMessageW(Item(IDC_ROI_Y_SPIN), UDM_SETPOS32, 0, 0);
    SendMessageW(Item(IDC_ROI_W_SPIN), UDM_SETPOS32, 0, fullWidth);
    SendMessageW(Item(IDC_ROI_H_SPIN), UDM_SETPOS32, 0, fullHeight);
    EnableItems(kRegionControls, Count(kRegionControls), true);
    SendMessageW(Item(IDC_SUBSAMPLE), CB_SETCURSEL, 0, 0);
    if (m_config) m_config->SetRoi(0, 0, 0, fullWidth, fullHeight);
}

// A typed region number that fits the image moves its up-down and marks the
// page dirty; one that does not fit is left for "Set" to clamp.
void CQuelvixDSProxyPluginPage::OnRegionEdit(int id) {
    for (const RegionField& field : kRegionFields) {
        if (field.edit != id) continue;
        const LONG width = Read(PropertySensorWidth, 0);
        const LONG height = Read(PropertySensorHeight, 0);
        const LONG limit = field.horizontal ? width : height;
        const LONG value = static_cast<LONG>(EditNumber(id));
        const bool fits = value >= 0 && (field.sizeField ? value <= limit : value < limit);
        if (fits) {
            SendMessageW(Item(field.spin), UDM_SETPOS32, 0, value);
            SetDirty(true);
        }
        return;
    }
}

// ---------------------------------------------------------------------------
// Scrolling

// The edit holds the value last sent, so repeated notifications for one
// position send one request.
void CQuelvixDSProxyPluginPage::OnSliderScroll(HWND slider) {
    if (!slider || !m_config) return;
    for (const SliderGroup& group : kSliderGroups) {
        if (Item(group.slider) != slider) continue;
        const LONG position = static_cast<LONG>(SendMessageW(slider, TBM_GETPOS, 0, 0));
        if (static_cast<UINT>(position) == EditNumber(group.edit)) return;
        SetEditNumber(group.edit, position);
        SendMessageW(Item(group.spin), UDM_SETPOS32, 0, position);
        Write(group.property, position);
        return;
    }
}

void CQuelvixDSProxyPluginPage::OnSpinScroll(HWND spin) {
    if (!spin || !m_config) return;
    for (const SliderGroup& group : kSliderGroups) {
        if (Item(group.spin) != spin) continue;
        const LONG position = static_cast<LONG>(SendMessageW(spin, UDM_GETPOS32, 0, 0));
        if (static_cast<UINT>(position) == EditNumber(group.edit)) return;
        SetEditNumber(group.edit, position);
        SendMessageW(Item(group.slider), TBM_SETPOS, TRUE, position);
        Write(group.property, position);
        return;
    }
    // Region up-downs only fill their edit; its change handling does the rest.
    for (const RegionField& field : kRegionFields) {
        if (Item(field.spin) != spin) continue;
        const LONG position = static_cast<LONG>(SendMessageW(spin, UDM_GETPOS32, 0, 0));
        if (static_cast<UINT>(position) != EditNumber(field.edit)) {
            SetEditNumber(field.edit, position);
        }
        return;
    }
}
