// Storage for the plug-in's own GUIDs.
#include "IQuelvixDSProxyConfig.h"

#include "camera_property_set.h"

// The camera property set's GUID: the KS proxy finds this class by it.
EXTERN_C const IID IID_IQuelvixDSProxyConfig = CAMERA_PROPERTY_SET_GUID;

EXTERN_C const CLSID CLSID_QuelvixDSProxyPluginPage = {
    0x8F95F6F2, 0x8204, 0x44A9, {0x9D, 0x47, 0x5E, 0x3A, 0x01, 0xAA, 0xEF, 0x66}};
