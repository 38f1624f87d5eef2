// The configuration object aggregated under a stand-in for the KS proxy filter:
// the exact request buffers, the preset on a get, reference ownership.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include "IQuelvixDSProxyConfig.h"
#include "plugin_library.h"
#include "test_filter.h"

namespace {

class ConfigObject : public testing::Test {
protected:
    void SetUp() override {
        filter = new TestFilter;
        ASSERT_EQ(S_OK, filter->Aggregate());
        config = filter->Config();
        ASSERT_NE(nullptr, config);
    }
    void TearDown() override {
        if (config) config->Release();
        EXPECT_EQ(0u, filter->Release());
        EXPECT_EQ(S_OK, Plugin().CanUnloadNow());
    }

    // The 24-byte header every request starts with.
    static void ExpectHeader(const PropertyCall& call, ULONG id, ULONG flags, size_t size) {
        EXPECT_TRUE(IsEqualGUID(IID_IQuelvixDSProxyConfig, call.set));
        EXPECT_EQ(id, call.id);
        EXPECT_EQ(size, call.instanceLength);
        EXPECT_EQ(size, call.dataLength);
        EXPECT_TRUE(call.oneBuffer);  // one buffer serves as instance and property data
        ASSERT_EQ(size, call.data.size());
        EXPECT_EQ(0, memcmp(&IID_IQuelvixDSProxyConfig, call.data.data(), sizeof(GUID)));
        EXPECT_EQ(static_cast<LONG>(id), call.Long(16));
        EXPECT_EQ(flags, call.Flags());
    }

    TestFilter* filter = nullptr;
    IQuelvixDSProxyConfig* config = nullptr;
};

}  // namespace

TEST_F(ConfigObject, GetSendsThePresetAndReturnsTheDriversValue) {
    LONG value = 777;
    EXPECT_EQ(S_OK, config->GetValue(2, &value));
    EXPECT_EQ(321, value);
    ASSERT_EQ(1u, filter->calls.size());
    const PropertyCall& call = filter->calls[0];
    EXPECT_TRUE(call.get);
    ExpectHeader(call, 2, 1, 32);
    EXPECT_EQ(777, call.Long(24));
    EXPECT_EQ(0, call.Long(28));
}

TEST_F(ConfigObject, FailedGetReturnsTheFailureAndKeepsTheCallersValue) {
    filter->answer = TestFilter::Answer::Nothing;
    LONG value = -42;
    EXPECT_EQ(kNoAnswer, config->GetValue(13, &value));
    EXPECT_EQ(-42, value);
    ASSERT_EQ(1u, filter->calls.size());
    EXPECT_EQ(-42, filter->calls[0].Long(24));
}

TEST_F(ConfigObject, GetWithoutAValuePointerSendsNothing) {
    EXPECT_EQ(E_POINTER, config->GetValue(2, nullptr));
    EXPECT_TRUE(filter->calls.empty());
}

TEST_F(ConfigObject, SetSendsTheValueInA32ByteBuffer) {
    EXPECT_EQ(S_OK, config->SetValue(6, -5));
    ASSERT_EQ(1u, filter->calls.size());
    const PropertyCall& call = filter->calls[0];
    EXPECT_FALSE(call.get);
    ExpectHeader(call, 6, 2, 32);
    EXPECT_EQ(-5, call.Long(24));
    EXPECT_EQ(0, call.Long(28));
}

TEST_F(ConfigObject, SetReturnsThePlatformResultUnchanged) {
    filter->setResult = static_cast<HRESULT>(0x8007001F);
    EXPECT_EQ(static_cast<HRESULT>(0x8007001F), config->SetValue(1, 600));
    filter->answer = TestFilter::Answer::Nothing;
    EXPECT_EQ(kNoAnswer, config->SetValue(1, 600));
    EXPECT_EQ(2u, filter->calls.size());
}

TEST_F(ConfigObject, SetRoiSendsTheWholeImageIn48Bytes) {
    EXPECT_EQ(S_OK, config->SetRoi(0, 0, 0, 1600, 1200));
    ASSERT_EQ(1u, filter->calls.size());
    const PropertyCall& call = filter->calls[0];
    EXPECT_FALSE(call.get);
    ExpectHeader(call, 44, 2, 48);
    const LONG expected[] = {0, 0, 0, 1600, 1200, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(expected[i], call.Long(24 + 4 * i)) << "offset " << 24 + 4 * i;
}

TEST_F(ConfigObject, SetRoiSendsItsArgumentsUnchangedInOrder) {
    EXPECT_EQ(S_OK, config->SetRoi(3, 10, -20, 8000, 7));
    ASSERT_EQ(1u, filter->calls.size());
    const LONG expected[] = {3, 10, -20, 8000, 7, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(expected[i], filter->calls[0].Long(24 + 4 * i));
}

TEST_F(ConfigObject, InterfaceReferencesCountOnTheOwner) {
    const LONG before = filter->references();
    config->AddRef();
    EXPECT_EQ(before + 1, filter->references());
    config->Release();
    EXPECT_EQ(before, filter->references());
    // The interface's QueryInterface is the owner's.
    IKsPropertySet* propertySet = nullptr;
    EXPECT_EQ(S_OK, config->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&propertySet)));
    EXPECT_EQ(static_cast<IKsPropertySet*>(filter), propertySet);
    propertySet->Release();
}

TEST_F(ConfigObject, InnerUnknownAnswersOnlyIUnknownAndTheConfigInterface) {
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(E_NOINTERFACE, filter->inner->QueryInterface(IID_IKsPropertySet, &out));
    EXPECT_EQ(nullptr, out);
    IUnknown* self = nullptr;
    EXPECT_EQ(S_OK, filter->inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&self)));
    EXPECT_EQ(filter->inner, self);
    self->Release();
    EXPECT_EQ(E_POINTER, filter->inner->QueryInterface(IID_IUnknown, nullptr));
}

// The object keeps the owner's IKsPropertySet without a reference: creating
// it and releasing it leave the owner's count where it was.
TEST(ConfigOwnership, CreatingAndReleasingNeverChangesTheOwnersCount) {
    TestFilter* filter = new TestFilter;
    const LONG before = filter->references();
    ASSERT_EQ(S_OK, filter->Aggregate());
    EXPECT_EQ(before, filter->references());
    EXPECT_EQ(0u, filter->inner->Release());
    filter->inner = nullptr;
    EXPECT_EQ(before, filter->references());
    EXPECT_EQ(S_OK, Plugin().CanUnloadNow());
    EXPECT_EQ(0u, filter->Release());
}

TEST(ConfigOwnership, OwnerWithoutThePropertySetGetsItsErrorAndNoObject) {
    TestFilter* filter = new TestFilter;
    filter->OfferPropertySet(false);
    EXPECT_EQ(E_NOINTERFACE, filter->Aggregate());
    EXPECT_EQ(nullptr, filter->inner);
    EXPECT_EQ(1, filter->references());
    EXPECT_EQ(S_OK, Plugin().CanUnloadNow());
    filter->Release();
}
