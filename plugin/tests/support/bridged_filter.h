// BridgedFilter stands in for the KS proxy's filter object over the real
// driver: it aggregates the plug-in's configuration object as the proxy does
// and turns every IKsPropertySet call into the property request the proxy
// would send with IOCTL_KS_PROPERTY, carried over the bridge to
// `quelvixcam serve`, where the streaming-class stand-in and the driver's
// handlers answer it. What the proxy does, and so what this models
// (plugin/README.md, "The property bridge"):
//   - Get and Set: the request is a KSPROPERTY header (set, id, and
//     KSPROPERTY_TYPE_GET or _SET) followed by the caller's instance data; the
//     caller's property data is the output buffer, DataLength bytes, sent as
//     it is; a get's answer is copied back into it and BytesReturned set.
//   - QuerySupported: a KSPROPERTY header with KSPROPERTY_TYPE_BASICSUPPORT
//     and no instance data, with the caller's ULONG as the output buffer.
//   - The result: NOERROR when the driver's status succeeds, otherwise
//     HRESULT_FROM_WIN32 of the Win32 error DeviceIoControl reports for that
//     status (ntdll's RtlNtStatusToDosError, the platform's own table).
#pragma once

#include <windows.h>
#include <strmif.h>

#include <string>

#include "IQuelvixDSProxyConfig.h"
#include "aggregating_filter.h"
#include "bridge_connection.h"

class BridgedFilter : public AggregatingFilter {
public:
    BridgedFilter() = default;  // one reference, held by the creator

    // Connects to the server the fixture started (its port file); false
    // with `error` set when there is none.
    bool Connect();

    STDMETHODIMP Set(REFGUID set, DWORD id, LPVOID instance, DWORD instanceLength, LPVOID data,
                     DWORD dataLength) override;
    STDMETHODIMP Get(REFGUID set, DWORD id, LPVOID instance, DWORD instanceLength, LPVOID data,
                     DWORD dataLength, DWORD* returned) override;
    STDMETHODIMP QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

    // The last request's id and the status the driver gave it.
    ULONG lastId = 0;
    LONG lastStatus = 0;
    std::string error;  // why the bridge itself failed, if it did

private:
    // One property request: the KSPROPERTY header with `flags`, then the
    // instance data; `data` is the output buffer.
    HRESULT Request(ULONG flags, REFGUID set, DWORD id, const void* instance,
                    DWORD instanceLength, void* data, DWORD dataLength, DWORD* returned);

    BridgeConnection m_connection;
};

// The HRESULT the KS proxy returns for an NTSTATUS from the driver.
HRESULT HresultFromDriverStatus(LONG status);
