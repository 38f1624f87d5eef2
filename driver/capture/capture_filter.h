// The capture filter the device offers: its descriptor, create and close,
// and the geometry of the frames it delivers.
#pragma once

#include "driver/wdk.h"

class DeviceContext;

// Allocated by FilterCreate (ContextPoolTag) and freed with the filter's object
// bag.
struct FilterContext {
    PKSFILTER filter;
    // The filter's own copy of the capture pin's data range, reached through
    // its edited descriptor; read and written only under the filter's
    // control mutex.
    KS_DATARANGE_VIDEO* dataRange;
};

inline FilterContext* FilterContextOf(PKSFILTER filter) { return static_cast<FilterContext*>(filter->Context); }

extern const KSFILTER_DESCRIPTOR CaptureFilterDescriptor;

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp);
// Saves the device's settings.
NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP irp);

// Sets the delivered frame size while no capture pin exists: resets the
// region of interest to the full sensor, then frameWidth = width,
// frameHeight = outputHeight = height, outputWidth = width rounded down to a
// multiple of 8. Nothing is sent to the camera. With a pin open it changes
// nothing. The data ranges filters offer are their own: see
// OfferDeliveredGeometry.
VOID SetFrameGeometry(DeviceContext* context, LONG width, LONG height);

// Rewrites the filter's own data range to its device's delivered size. The
// caller holds the filter's control mutex.
VOID OfferDeliveredGeometry(PKSFILTER filter);

// The delivered size (outputWidth x outputHeight) of the device, read under
// the lock SetFrameGeometry changes it under.
VOID GetDeliveredGeometry(DeviceContext* context, LONG* width, LONG* height);

// A capture pin of the device is created / closed. pinOpen counts the
// device's pins (one per filter instance), so it stays set while any is
// open; SetFrameGeometry tests it under the same lock. MarkPinOpen marks the
// pin only if its format (`bitmap`) fits the device's delivered size at that
// moment, so no geometry change can slip in between the pin's format check
// and its mark; FALSE when it does not fit.
BOOLEAN MarkPinOpen(DeviceContext* context, const KS_BITMAPINFOHEADER& bitmap);
VOID MarkPinClosed(DeviceContext* context);
