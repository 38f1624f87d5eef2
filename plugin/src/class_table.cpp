#include "class_table.h"

#include "config_object.h"
#include "plugin_page.h"

const ServerClass ServerClassTable[] = {
    {L"Morvex Camera Property Page", &CLSID_QuelvixDSProxyPluginPage,
     CQuelvixDSProxyPluginPage::CreateInstance, nullptr, nullptr},
    {L"Quelvix DS Proxy Extension Interface", &IID_IQuelvixDSProxyConfig,
     CQuelvixDSProxyConfig::CreateInstance, nullptr, nullptr},
};

const int ServerClassCount = sizeof(ServerClassTable) / sizeof(ServerClassTable[0]);

const ServerClass* FindServerClass(REFCLSID clsid) {
    for (int i = 0; i < ServerClassCount; ++i) {
        if (IsEqualCLSID(clsid, *ServerClassTable[i].clsid)) return &ServerClassTable[i];
    }
    return nullptr;
}
