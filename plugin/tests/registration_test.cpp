// DllRegisterServer / DllUnregisterServer called directly, as an installer does.
#include <windows.h>

#include <gtest/gtest.h>

#include "IQuelvixDSProxyConfig.h"
#include "plugin_library.h"
#include "registry_expectations.h"

namespace {

std::wstring LoadedPath(HMODULE module) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
}

// Every test starts and ends with nothing registered.
class Registration : public testing::Test {
protected:
    void SetUp() override { Plugin().UnregisterServer(); }
    void TearDown() override { Plugin().UnregisterServer(); }
};

}  // namespace

TEST_F(Registration, RegisterWritesTheSixValuesExactly) {
    ASSERT_EQ(S_OK, Plugin().RegisterServer());
    ExpectRegistered(LoadedPath(Plugin().module));
}

TEST_F(Registration, RegisteringTwiceKeepsTheSameLayout) {
    ASSERT_EQ(S_OK, Plugin().RegisterServer());
    ASSERT_EQ(S_OK, Plugin().RegisterServer());
    ExpectRegistered(LoadedPath(Plugin().module));
}

TEST_F(Registration, UnregisterRemovesBothClassTreesAndTheKsProxyKeys) {
    ASSERT_EQ(S_OK, Plugin().RegisterServer());
    ASSERT_EQ(S_OK, Plugin().UnregisterServer());
    ExpectUnregistered();
}

// The class tree is removed depth first, including keys others added below it.
TEST_F(Registration, UnregisterRemovesKeysAddedBelowAClass) {
    ASSERT_EQ(S_OK, Plugin().RegisterServer());
    const std::wstring deep = ClassKey(CLSID_QuelvixDSProxyPluginPage) + L"\\Extra\\Deeper";
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CLASSES_ROOT, deep.c_str(), &key));
    RegCloseKey(key);
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, deep));

    EXPECT_EQ(S_OK, Plugin().UnregisterServer());
    ExpectUnregistered();
}

// Keys that are already absent count as removed: unregistering twice, or
// with nothing registered, succeeds and leaves nothing behind.
TEST_F(Registration, UnregisterWithNothingRegisteredSucceeds) {
    EXPECT_EQ(S_OK, Plugin().UnregisterServer());
    ExpectUnregistered();
}

// The other bitness's library was unregistered first: it removed the shared
// KS proxy keys under HKLM\System, and our own class keys are still there.
// The second unregistration removes them and reports success.
TEST_F(Registration, UnregisterAfterTheOtherBitnessRemovedTheSharedKeys) {
    ASSERT_EQ(S_OK, Plugin().RegisterServer());
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, MediaInterfaceKey().c_str()));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, PropertyPagesKey().c_str()));
    ASSERT_EQ(ERROR_SUCCESS,
              RegDeleteKeyW(HKEY_LOCAL_MACHINE, (MediaSetKey() + L"\\PropertyPages").c_str()));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, MediaSetKey().c_str()));
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(CLSID_QuelvixDSProxyPluginPage)));

    EXPECT_EQ(S_OK, Plugin().UnregisterServer());
    ExpectUnregistered();
}

// Another set of pages under our set's PropertyPages key is not ours to remove.
TEST_F(Registration, UnregisterKeepsOtherPagesOfTheSet) {
    ASSERT_EQ(S_OK, Plugin().RegisterServer());
    const std::wstring other = MediaSetKey() + L"\\PropertyPages\\{00000000-0000-0000-0000-000000000001}";
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_LOCAL_MACHINE, other.c_str(), &key));
    RegCloseKey(key);

    EXPECT_EQ(S_OK, Plugin().UnregisterServer());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, PropertyPagesKey()));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, other));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MediaInterfaceKey()));
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, other.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (MediaSetKey() + L"\\PropertyPages").c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, MediaSetKey().c_str());
}

// A library installed under a name outside the ANSI code page is registered
// with its real path, character for character.
TEST_F(Registration, PathOutsideTheAnsiCodePageIsRegisteredExactly) {
    const std::wstring directory = ProgramDirectory() + L"\x03A9\x0436-copy";
    CreateDirectoryW(directory.c_str(), nullptr);
    const std::wstring copy = directory + L"\\QuelvixProxyPlugin.dll";
    ASSERT_TRUE(CopyFileW(PluginPath().c_str(), copy.c_str(), FALSE));

    PluginLibrary library;
    ASSERT_TRUE(LoadPluginFrom(copy, &library));
    ASSERT_EQ(S_OK, library.RegisterServer());
    ExpectRegistered(LoadedPath(library.module));
    EXPECT_EQ(copy.size(), LoadedPath(library.module).size());
    EXPECT_EQ(S_OK, library.UnregisterServer());
    FreeLibrary(library.module);
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(directory.c_str());
}

TEST_F(Registration, RegisteredClassesAreCreatableThroughCom) {
    ASSERT_EQ(S_OK, Plugin().RegisterServer());
    IUnknown* page = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_QuelvixDSProxyPluginPage, nullptr,
                                     CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(&page)));
    page->Release();
    // The configuration class exists only inside an owner.
    IUnknown* config = nullptr;
    EXPECT_EQ(static_cast<HRESULT>(0x80040202),
              CoCreateInstance(IID_IQuelvixDSProxyConfig, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IUnknown, reinterpret_cast<void**>(&config)));
    EXPECT_EQ(nullptr, config);
}

// Each bitness registers its classes in its own registry view: a 32-bit
// client must not find the 64-bit library, nor the other way round.
TEST_F(Registration, ClassKeysStayInTheCallersRegistryView) {
    ASSERT_EQ(S_OK, Plugin().RegisterServer());
    const REGSAM otherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    const REGSAM ownView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    const std::wstring key = ClassKey(CLSID_QuelvixDSProxyPluginPage) + L"\\InprocServer32";
    HKEY handle = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | ownView, &handle));
    RegCloseKey(handle);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | otherView, &handle));
}
