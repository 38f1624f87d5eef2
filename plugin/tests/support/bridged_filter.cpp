#include "bridged_filter.h"

#include <winternl.h>

#include <cstring>
#include <vector>

namespace {

// The KSPROPERTY_TYPE_* flags and the header they sit in (ks.h).
const ULONG kTypeGet = 0x1;
const ULONG kTypeSet = 0x2;
const ULONG kTypeBasicSupport = 0x200;

struct PropertyHeader {
    GUID Set;
    ULONG Id;
    ULONG Flags;
};
static_assert(sizeof(PropertyHeader) == 24, "KSPROPERTY is 24 bytes");

}  // namespace

HRESULT HresultFromDriverStatus(LONG status) {
    if (status >= 0) return NOERROR;
    // Warnings (0x8...) fail too: DeviceIoControl reports every status that
    // is not a success, STATUS_BUFFER_OVERFLOW as ERROR_MORE_DATA.
    return HRESULT_FROM_WIN32(RtlNtStatusToDosError(static_cast<NTSTATUS>(status)));
}

bool BridgedFilter::Connect() {
    const unsigned short port = BridgePort(&error);
    if (port == 0) return false;
    if (!m_connection.Connect(port)) {
        error = m_connection.error;
        return false;
    }
    return true;
}

HRESULT BridgedFilter::Request(ULONG flags, REFGUID set, DWORD id, const void* instance,
                               DWORD instanceLength, void* data, DWORD dataLength,
                               DWORD* returned) {
    if (returned) *returned = 0;
    if (instanceLength && !instance) return E_POINTER;
    if (dataLength && !data) return E_POINTER;
    if (instanceLength > BridgeConnection::kMaxBytes - sizeof(PropertyHeader) ||
        dataLength > BridgeConnection::kMaxBytes) {
        error = "request too large for the bridge";
        return E_INVALIDARG;
    }
    PropertyHeader header = {set, id, flags};
    std::vector<BYTE> request(sizeof header + instanceLength);
    std::memcpy(request.data(), &header, sizeof header);
    if (instanceLength) std::memcpy(request.data() + sizeof header, instance, instanceLength);
    std::vector<BYTE> buffer(static_cast<const BYTE*>(data),
                             static_cast<const BYTE*>(data) + dataLength);

    lastId = id;
    LONG status = 0;
    ULONG bytes = 0;
    if (!m_connection.Exchange(flags, set, id, request, &buffer, &status, &bytes)) {
        error = m_connection.error;
        return E_FAIL;
    }
    lastStatus = status;
    // The driver's answer lands in the caller's buffer, as the I/O manager
    // copies a property request's output back: only the bytes returned.
    if (bytes) std::memcpy(data, buffer.data(), bytes);
    if (returned) *returned = bytes;
    return HresultFromDriverStatus(status);
}

STDMETHODIMP BridgedFilter::Set(REFGUID set, DWORD id, LPVOID instance, DWORD instanceLength,
                                LPVOID data, DWORD dataLength) {
    return Request(kTypeSet, set, id, instance, instanceLength, data, dataLength, nullptr);
}

STDMETHODIMP BridgedFilter::Get(REFGUID set, DWORD id, LPVOID instance, DWORD instanceLength,
                                LPVOID data, DWORD dataLength, DWORD* returned) {
    return Request(kTypeGet, set, id, instance, instanceLength, data, dataLength, returned);
}

STDMETHODIMP BridgedFilter::QuerySupported(REFGUID set, DWORD id, DWORD* support) {
    if (!support) return E_POINTER;
    *support = 0;
    return Request(kTypeBasicSupport, set, id, nullptr, 0, support, sizeof *support, nullptr);
}

