// IQuelvixDSProxyConfig: the camera configuration interface that the plug-in
// aggregates onto the capture filter. Any client of the filter reads and writes
// camera properties by number through it; each call becomes exactly one property
// request on the driver.
#pragma once

#include <windows.h>
#include <unknwn.h>

// The one GUID that is at once this interface's IID, the configuration class's
// CLSID and the camera property set's GUID. The KS proxy finds the extension
// class by the property set GUID, so the three must be equal: it is
// CAMERA_PROPERTY_SET_GUID of common/camera_property_set.h.
EXTERN_C const IID IID_IQuelvixDSProxyConfig;

// The property page class. {8F95F6F2-8204-44A9-9D47-5E3A01AAEF66}
EXTERN_C const CLSID CLSID_QuelvixDSProxyPluginPage;

struct IQuelvixDSProxyConfig : public IUnknown {
    // Reads property `id`. *value goes out as the request's preset and comes back
    // with whatever the request left at the value's place, even when it failed.
    virtual HRESULT STDMETHODCALLTYPE GetValue(ULONG id, LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetValue(ULONG id, LONG value) = 0;
    // Sends the region of interest (property 44) with its subsample index, unchanged.
    virtual HRESULT STDMETHODCALLTYPE SetRoi(LONG subsample, LONG x, LONG y, LONG width,
                                             LONG height) = 0;
};
