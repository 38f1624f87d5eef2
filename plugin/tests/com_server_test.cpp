// The COM server surface: DllGetClassObject, the class factory, DllCanUnloadNow.
#include <windows.h>
#include <ocidl.h>
#include <vfwmsgs.h>

#include <gtest/gtest.h>

#include "IQuelvixDSProxyConfig.h"
#include "plugin_library.h"
#include "test_filter.h"

namespace {

const CLSID kUnknownClass = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

}  // namespace

TEST(DllGetClassObject, KnownClassAndClassFactoryGivesAFactory) {
    for (const CLSID* clsid : {&CLSID_QuelvixDSProxyPluginPage, &IID_IQuelvixDSProxyConfig}) {
        IClassFactory* factory = nullptr;
        EXPECT_EQ(S_OK, Plugin().GetClassObject(*clsid, IID_IClassFactory,
                                                reinterpret_cast<void**>(&factory)));
        ASSERT_NE(nullptr, factory);
        EXPECT_EQ(0u, factory->Release());
    }
}

TEST(DllGetClassObject, IUnknownIsAlsoAccepted) {
    IUnknown* factory = nullptr;
    EXPECT_EQ(S_OK, Plugin().GetClassObject(CLSID_QuelvixDSProxyPluginPage, IID_IUnknown,
                                            reinterpret_cast<void**>(&factory)));
    ASSERT_NE(nullptr, factory);
    factory->Release();
}

TEST(DllGetClassObject, UnknownClassIsNotAvailableAndClearsTheOutPointer) {
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, Plugin().GetClassObject(kUnknownClass, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
}

TEST(DllGetClassObject, OtherInterfaceIsRefusedEvenForAKnownClass) {
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(E_NOINTERFACE,
              Plugin().GetClassObject(CLSID_QuelvixDSProxyPluginPage, IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(S_OK, Plugin().CanUnloadNow());
}

TEST(DllGetClassObject, NullOutPointerIsRefused) {
    EXPECT_EQ(E_POINTER,
              Plugin().GetClassObject(CLSID_QuelvixDSProxyPluginPage, IID_IClassFactory, nullptr));
}

TEST(DllCanUnloadNow, FollowsFactoryLifetime) {
    EXPECT_EQ(S_OK, Plugin().CanUnloadNow());
    IClassFactory* factory = GetFactory(CLSID_QuelvixDSProxyPluginPage);
    ASSERT_NE(nullptr, factory);
    EXPECT_EQ(S_FALSE, Plugin().CanUnloadNow());
    IClassFactory* second = GetFactory(IID_IQuelvixDSProxyConfig);
    factory->Release();
    EXPECT_EQ(S_FALSE, Plugin().CanUnloadNow());
    second->Release();
    EXPECT_EQ(S_OK, Plugin().CanUnloadNow());
}

TEST(DllCanUnloadNow, FollowsLockServerAcrossTheFactoryRelease) {
    IClassFactory* factory = GetFactory(CLSID_QuelvixDSProxyPluginPage);
    ASSERT_NE(nullptr, factory);
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory->Release();
    EXPECT_EQ(S_FALSE, Plugin().CanUnloadNow());

    factory = GetFactory(CLSID_QuelvixDSProxyPluginPage);
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    factory->Release();
    EXPECT_EQ(S_FALSE, Plugin().CanUnloadNow());  // one lock is still held

    factory = GetFactory(CLSID_QuelvixDSProxyPluginPage);
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    factory->Release();
    EXPECT_EQ(S_OK, Plugin().CanUnloadNow());
}

TEST(DllCanUnloadNow, FollowsObjectLifetime) {
    IClassFactory* factory = GetFactory(CLSID_QuelvixDSProxyPluginPage);
    ASSERT_NE(nullptr, factory);
    IPropertyPage* page = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IPropertyPage,
                                            reinterpret_cast<void**>(&page)));
    factory->Release();
    EXPECT_EQ(S_FALSE, Plugin().CanUnloadNow());
    EXPECT_EQ(0u, page->Release());
    EXPECT_EQ(S_OK, Plugin().CanUnloadNow());
}

TEST(ClassFactory, QueryInterfaceAnswersOnlyItsTwoInterfaces) {
    IClassFactory* factory = GetFactory(CLSID_QuelvixDSProxyPluginPage);
    ASSERT_NE(nullptr, factory);
    IUnknown* unknown = nullptr;
    EXPECT_EQ(S_OK, factory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(static_cast<IUnknown*>(factory), unknown);
    EXPECT_EQ(1u, unknown->Release());
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(E_NOINTERFACE, factory->QueryInterface(IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(0u, factory->Release());
}

TEST(ClassFactory, OuterUnknownWithAnotherInterfaceCreatesNothing) {
    TestFilter* filter = new TestFilter;
    IClassFactory* factory = GetFactory(IID_IQuelvixDSProxyConfig);
    ASSERT_NE(nullptr, factory);
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(filter, IID_IQuelvixDSProxyConfig, &out));
    EXPECT_EQ(nullptr, out);
    // Creating the object would have asked the owner for its property set.
    EXPECT_EQ(0, filter->queryInterfaceCalls);
    factory->Release();
    EXPECT_EQ(S_OK, Plugin().CanUnloadNow());
    filter->Release();
}

TEST(ClassFactory, ConfigurationWithoutAnOwnerNeedsOne) {
    IClassFactory* factory = GetFactory(IID_IQuelvixDSProxyConfig);
    ASSERT_NE(nullptr, factory);
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(VFW_E_NEED_OWNER, factory->CreateInstance(nullptr, IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    factory->Release();
    EXPECT_EQ(S_OK, Plugin().CanUnloadNow());
}

TEST(ClassFactory, PageIsCreatableWithAndWithoutAnOwner) {
    IClassFactory* factory = GetFactory(CLSID_QuelvixDSProxyPluginPage);
    ASSERT_NE(nullptr, factory);
    IPropertyPage* page = nullptr;
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IPropertyPage,
                                            reinterpret_cast<void**>(&page)));
    ASSERT_NE(nullptr, page);
    EXPECT_EQ(0u, page->Release());

    // Aggregated: the owner gets the inner unknown; the page's interfaces
    // count on the owner.
    TestFilter* owner = new TestFilter;
    IUnknown* inner = nullptr;
    EXPECT_EQ(S_OK, factory->CreateInstance(owner, IID_IUnknown, reinterpret_cast<void**>(&inner)));
    ASSERT_NE(nullptr, inner);
    const LONG ownerRefs = owner->references();
    IPropertyPage* aggregated = nullptr;
    EXPECT_EQ(S_OK, inner->QueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&aggregated)));
    EXPECT_EQ(ownerRefs + 1, owner->references());
    aggregated->Release();
    EXPECT_EQ(ownerRefs, owner->references());
    EXPECT_EQ(0u, inner->Release());
    factory->Release();
    owner->Release();
    EXPECT_EQ(S_OK, Plugin().CanUnloadNow());
}

TEST(ClassFactory, FailedQueryDestroysTheFreshObject) {
    IClassFactory* factory = GetFactory(CLSID_QuelvixDSProxyPluginPage);
    ASSERT_NE(nullptr, factory);
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
    factory->Release();
    EXPECT_EQ(S_OK, Plugin().CanUnloadNow());
}
