// The registry stand-in: the export file format, the Zw* calls as drivers
// meet them on Windows, fault injection, and the store file's safety (atomic
// saves, a corrupt file left alone).
#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/kernel/registry_store.h"
#include "host/kernel/violations.h"

namespace {

using hostk::RegFileKey;
using hostk::RegFileValue;
using hostk::RegistryStore;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::vector<std::string> DirectoryEntries(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = opendir(directory.c_str());
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
}

// The files of a directory but the store's lock file, which stays beside
// the store for good.
std::vector<std::string> StoreFilesIn(const std::string& directory) {
    std::vector<std::string> names;
    for (const std::string& name : DirectoryEntries(directory)) {
        if (name.size() < 5 || name.compare(name.size() - 5, 5, ".lock") != 0) names.push_back(name);
    }
    return names;
}

// A scratch directory per test, removed afterwards.
class ScratchDirectory {
public:
    ScratchDirectory() {
        char pattern[] = "/tmp/registry-test-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~ScratchDirectory() {
        for (const auto& name : DirectoryEntries(path_)) unlink((path_ + "/" + name).c_str());
        rmdir(path_.c_str());
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// A UTF-16 name for the Zw* calls.
struct Name {
    explicit Name(const std::string& text) : units(hostk::Utf8ToUtf16(text)) {
        string.Buffer = units.data();
        string.Length = static_cast<USHORT>(units.size() * 2);
        string.MaximumLength = string.Length;
    }
    std::vector<WCHAR> units;
    UNICODE_STRING string;
};

std::vector<uint8_t> Dword(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

const std::string kDriverKey = std::string(hostk::kImageClassKey) + "\\0000";

// A small valid store file.
std::string SmallStoreText() {
    return "Windows Registry Editor Version 5.00\r\n\r\n[" + kDriverKey + "\\Settings]\r\n\"Hue\"=dword:0000000a\r\n\r\n";
}

// ---- the file format -------------------------------------------------------

TEST(RegFileFormat, WritesWhatTheRegistryEditorReads) {
    std::vector<RegFileKey> keys = {
        {kDriverKey + "\\Settings",
         {{"Timeout", REG_DWORD, Dword(3000)},
          {"Hue", REG_DWORD, Dword(0xFFFFFFFFu)},
          {"Path", REG_SZ, {'C', 0, ':', 0, '\\', 0, '"', 0, 0, 0}},
          {"", REG_BINARY, {0x01, 0xAB}},
          {"Big", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
          {"Short", REG_DWORD, {7, 0}}}},
    };
    std::string text = hostk::FormatRegFile(keys);
    EXPECT_EQ(text,
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
              "{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000\\Settings]\r\n"
              "\"Timeout\"=dword:00000bb8\r\n"
              "\"Hue\"=dword:ffffffff\r\n"
              "\"Path\"=\"C:\\\\\\\"\"\r\n"
              "@=hex:01,ab\r\n"
              "\"Big\"=hex(b):01,02,03,04,05,06,07,08\r\n"
              // A REG_DWORD that is not four bytes keeps its exact bytes.
              "\"Short\"=hex(4):07,00\r\n\r\n");

    std::vector<RegFileKey> back;
    std::string error;
    ASSERT_TRUE(hostk::ParseRegFile(text, &back, &error)) << error;
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].path, keys[0].path);
    ASSERT_EQ(back[0].values.size(), keys[0].values.size());
    for (size_t i = 0; i < keys[0].values.size(); ++i) {
        EXPECT_EQ(back[0].values[i].name, keys[0].values[i].name) << i;
        EXPECT_EQ(back[0].values[i].type, keys[0].values[i].type) << i;
        EXPECT_EQ(back[0].values[i].data, keys[0].values[i].data) << i;
    }
}

TEST(RegFileFormat, ReadsEditorExportsInUtf16WithWrappedHex) {
    std::string utf8 =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "; a comment\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
        "\"Blob\"=hex:01,02,\\\r\n"
        "  03,04\r\n"
        "\"N\"=dword:0000002a\r\n";
    std::string utf16 = "\xFF\xFE";
    for (uint16_t unit : hostk::Utf8ToUtf16(utf8)) {
        utf16.push_back(static_cast<char>(unit & 0xFF));
        utf16.push_back(static_cast<char>(unit >> 8));
    }
    std::vector<RegFileKey> keys;
    std::string error;
    ASSERT_TRUE(hostk::ParseRegFile(utf16, &keys, &error)) << error;
    ASSERT_EQ(keys.size(), 1u);
    ASSERT_EQ(keys[0].values.size(), 2u);
    EXPECT_EQ(keys[0].values[0].data, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(keys[0].values[1].data, Dword(42));
}

TEST(RegFileFormat, RefusesWhatIsNotAStoreFileNamingTheLine) {
    const std::string header = "Windows Registry Editor Version 5.00\n";
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"", "line 1: the file is empty"},
        {"REGEDIT4\n", "line 1: not a registry export file"},
        {header + "\"A\"=dword:1\n", "line 2: a value comes before any [KEY] line"},
        {header + "[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:123456789\n", "line 3: dword: needs one to eight hex digits"},
        {header + "[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:12g4\n", "line 3: dword:"},
        {header + "[-HKEY_LOCAL_MACHINE\\X]\n", "line 2: key deletions"},
        {header + "[HKEY_LOCAL_MACHINE\\X]\n\"A\"=-\n", "line 3: value deletions"},
        {header + "[SOMEWHERE\\X]\n", "line 2: key [SOMEWHERE\\X] does not start with a root key"},
        {header + "[HKEY_LOCAL_MACHINE\\\\X]\n", "line 2: key [HKEY_LOCAL_MACHINE\\\\X] has an empty name"},
        {header + "[HKEY_LOCAL_MACHINE\\X]\n\"A=dword:1\n", "line 3: a quoted string is not closed"},
        {header + "[HKEY_LOCAL_MACHINE\\X]\n\"A\"=hex:1,2zz\n", "line 3: hex data"},
        {header + "[HKEY_LOCAL_MACHINE\\X]\ngarbage\n", "line 3: 'garbage' is neither"},
        {header + "[HKEY_LOCAL_MACHINE\\X\n", "line 2: a key line must end with ]"},
        {std::string("Windows Registry Editor Version 5.00\n\0\n", 40), "NUL bytes"},
    };
    for (const auto& c : cases) {
        std::vector<RegFileKey> keys;
        std::string error;
        EXPECT_FALSE(hostk::ParseRegFile(c.text, &keys, &error)) << c.text;
        EXPECT_NE(error.find(c.expected), std::string::npos) << "got: " << error;
    }
}

// ---- the kernel calls ------------------------------------------------------

class RegistryCalls : public ::testing::Test {
protected:
    void SetUp() override {
        hostk::RegistryResetFaults();
        hostk::ClearViolations();
        hostk::BindDeviceRegistry(&pdo, &store);
    }
    void TearDown() override {
        hostk::UnbindDeviceRegistry(&pdo);
        hostk::RegistryResetFaults();
        EXPECT_EQ(store.OpenHandles(), 0u);
        EXPECT_EQ(hostk::PoolTagStats(hostk::kRegistryKeyTag).liveBlocks, 0u);
        EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
    }

    HANDLE OpenDriverKey(ACCESS_MASK access = STANDARD_RIGHTS_READ) {
        HANDLE key = nullptr;
        EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, access, &key), STATUS_SUCCESS);
        return key;
    }

    NTSTATUS Create(HANDLE parent, const std::string& path, HANDLE* key, ULONG* disposition = nullptr) {
        Name name(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent, nullptr);
        return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
    }

    NTSTATUS Set(HANDLE key, const std::string& name, ULONG type, std::vector<uint8_t> data) {
        Name n(name);
        return ZwSetValueKey(key, &n.string, 0, type, data.data(), static_cast<ULONG>(data.size()));
    }

    NTSTATUS Query(HANDLE key, const std::string& name, ULONG length, std::vector<uint8_t>* buffer, ULONG* result) {
        Name n(name);
        buffer->assign(length, 0xCC);
        return ZwQueryValueKey(key, &n.string, KeyValuePartialInformation, buffer->data(), length, result);
    }

    DEVICE_OBJECT pdo{};
    RegistryStore store;
};

TEST_F(RegistryCalls, DriverKeyIsTheImageClassInstanceAndOnlyForBoundDevices) {
    EXPECT_TRUE(store.KeyExists(kDriverKey));
    HANDLE key = nullptr;
    DEVICE_OBJECT other{};
    EXPECT_EQ(IoOpenDeviceRegistryKey(&other, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_PARAMETER);

    // A second device on the same store gets the next instance.
    DEVICE_OBJECT second{};
    EXPECT_EQ(hostk::BindDeviceRegistry(&second, &store), std::string(hostk::kImageClassKey) + "\\0001");
    hostk::UnbindDeviceRegistry(&second);
}

TEST_F(RegistryCalls, AccessIsCheckedPerHandle) {
    HANDLE driverKey = OpenDriverKey(STANDARD_RIGHTS_READ);
    // Opened for reading its security only: no values either way.
    EXPECT_EQ(Set(driverKey, "X", REG_DWORD, Dword(1)), STATUS_ACCESS_DENIED);
    std::vector<uint8_t> buffer;
    ULONG result = 0;
    EXPECT_EQ(Query(driverKey, "X", 20, &buffer, &result), STATUS_ACCESS_DENIED);
    // But a subkey opened through it has the access asked for.
    HANDLE settings = nullptr;
    ASSERT_EQ(Create(driverKey, "Settings", &settings), STATUS_SUCCESS);
    EXPECT_EQ(Set(settings, "X", REG_DWORD, Dword(1)), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(settings), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(driverKey), STATUS_SUCCESS);
}

TEST_F(RegistryCalls, CreateMakesOneLevelAtATime) {
    HANDLE driverKey = OpenDriverKey();
    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(Create(driverKey, "A\\B", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(store.KeyExists(kDriverKey + "\\A"));
    ASSERT_EQ(Create(driverKey, "A", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    ZwClose(key);
    ASSERT_EQ(Create(driverKey, "a\\B", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    ZwClose(key);
    ASSERT_EQ(Create(driverKey, "A\\b", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    ZwClose(key);
    EXPECT_TRUE(store.KeyExists(kDriverKey + "\\A\\B"));

    EXPECT_EQ(Create(driverKey, "\\A", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Create(driverKey, "A\\\\B", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Create(driverKey, "", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Create(nullptr, "A", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    ZwClose(driverKey);
}

TEST_F(RegistryCalls, PartialInformationReportsSizesLikeTheKernel) {
    HANDLE driverKey = OpenDriverKey();
    HANDLE key = nullptr;
    ASSERT_EQ(Create(driverKey, "Settings", &key), STATUS_SUCCESS);
    ASSERT_EQ(Set(key, "Eight", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}), STATUS_SUCCESS);
    std::vector<uint8_t> buffer;
    ULONG result = 0;

    // Below the fixed part: nothing written but the size needed.
    EXPECT_EQ(Query(key, "Eight", 11, &buffer, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 20u);
    EXPECT_EQ(buffer[0], 0xCC);

    // Room for the fixed part only: filled in, no data copied.
    EXPECT_EQ(Query(key, "Eight", 19, &buffer, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 20u);
    auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_QWORD));
    EXPECT_EQ(info->DataLength, 8u);
    EXPECT_EQ(info->Data[0], 0xCC);

    EXPECT_EQ(Query(key, "eIGHT", 20, &buffer, &result), STATUS_SUCCESS);
    info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    EXPECT_EQ(std::vector<uint8_t>(info->Data, info->Data + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));

    EXPECT_EQ(Query(key, "Missing", 20, &buffer, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    Name n("Eight");
    EXPECT_EQ(ZwQueryValueKey(key, &n.string, KeyValueFullInformation, buffer.data(), 20, &result),
              STATUS_INVALID_PARAMETER);
    ZwClose(key);
    ZwClose(driverKey);
    EXPECT_EQ(Query(&pdo, "Eight", 20, &buffer, &result), STATUS_INVALID_HANDLE);
}

TEST_F(RegistryCalls, FaultsFailTheChosenCallOnly) {
    HANDLE driverKey = OpenDriverKey();
    HANDLE key = nullptr;
    ASSERT_EQ(Create(driverKey, "Settings", &key), STATUS_SUCCESS);

    hostk::RegistryFailCall(hostk::RegistryCall::SetValue, STATUS_INSUFFICIENT_RESOURCES, 2);
    EXPECT_EQ(Set(key, "One", REG_DWORD, Dword(1)), STATUS_SUCCESS);
    EXPECT_EQ(Set(key, "Two", REG_DWORD, Dword(2)), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Set(key, "Three", REG_DWORD, Dword(3)), STATUS_SUCCESS);
    RegFileValue ignored;
    EXPECT_FALSE(store.GetValue(kDriverKey + "\\Settings", "Two", &ignored));

    hostk::RegistryFailCall(hostk::RegistryCall::QueryValue, STATUS_ACCESS_DENIED, 0, "three");
    std::vector<uint8_t> buffer;
    ULONG result = 0;
    EXPECT_EQ(Query(key, "One", 20, &buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(Query(key, "Three", 20, &buffer, &result), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Query(key, "Three", 20, &buffer, &result), STATUS_ACCESS_DENIED);

    hostk::RegistryFailCall(hostk::RegistryCall::CreateKey, STATUS_ACCESS_DENIED);
    HANDLE other = nullptr;
    EXPECT_EQ(Create(driverKey, "Other", &other), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(store.KeyExists(kDriverKey + "\\Other"));

    hostk::RegistryFailCall(hostk::RegistryCall::OpenDeviceKey, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &other), STATUS_OBJECT_NAME_NOT_FOUND);

    // A handle the pool cannot hold is a refused create, not a half key.
    hostk::PoolFailNthAllocation(1, hostk::kRegistryKeyTag);
    EXPECT_EQ(Create(driverKey, "NoRoom", &other), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(store.KeyExists(kDriverKey + "\\NoRoom"));
    hostk::PoolResetFaults();
    ZwClose(key);
    ZwClose(driverKey);
}

TEST_F(RegistryCalls, CallsAbovePassiveLevelAreReported) {
    HANDLE driverKey = OpenDriverKey();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    HANDLE key = nullptr;
    Create(driverKey, "Settings", &key);
    KeLowerIrql(old);
    EXPECT_EQ(hostk::ViolationCount(), 1u);
    EXPECT_NE(hostk::ViolationText().find("ZwCreateKey called at IRQL 2"), std::string::npos);
    hostk::ClearViolations();
    if (key) ZwClose(key);
    ZwClose(driverKey);
}

// The store refuses what its file could not hold; the registry's own limits
// are refused too, one level and one name at a time.
TEST_F(RegistryCalls, NamesAndDepthBeyondTheRegistryLimitsAreRefused) {
    HANDLE driverKey = OpenDriverKey();
    HANDLE key = nullptr;
    EXPECT_EQ(Create(driverKey, std::string(256, 'k'), &key), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Create(driverKey, std::string("a\0b", 3), &key), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Create(driverKey, std::string(255, 'k'), &key), STATUS_SUCCESS);
    ZwClose(key);
    ASSERT_EQ(Create(driverKey, "Settings", &key), STATUS_SUCCESS);
    EXPECT_EQ(Set(key, std::string(16384, 'v'), REG_DWORD, Dword(1)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(key, std::string("a\0b", 3), REG_DWORD, Dword(1)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(key, "a\r\nb", REG_DWORD, Dword(1)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(key, std::string(16383, 'v'), REG_DWORD, Dword(1)), STATUS_SUCCESS);
    ZwClose(key);

    // The driver key is 6 levels below HKEY_LOCAL_MACHINE: 506 more fit.
    HANDLE parent = driverKey;
    for (int level = 7; level <= 512; ++level) {
        HANDLE child = nullptr;
        ASSERT_EQ(Create(parent, "d", &child), STATUS_SUCCESS) << level;
        if (parent != driverKey) ZwClose(parent);
        parent = child;
    }
    EXPECT_EQ(Create(parent, "d", &key), STATUS_INVALID_PARAMETER);
    ZwClose(parent);
    ZwClose(driverKey);
    std::vector<RegFileKey> saved;
    std::string error;
    EXPECT_TRUE(hostk::ParseRegFile(store.Text(), &saved, &error)) << error;
}

// ---- the store file --------------------------------------------------------

TEST(RegistryStoreFile, SavesWhenTheLastHandleClosesAfterAChange) {
    ScratchDirectory dir;
    std::string path = dir.File("store.reg");
    std::string error;
    auto store = RegistryStore::Open(path, &error);
    ASSERT_NE(store, nullptr) << error;
    DEVICE_OBJECT pdo{};
    hostk::BindDeviceRegistry(&pdo, store.get());

    HANDLE driverKey = nullptr, settings = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, STANDARD_RIGHTS_READ, &driverKey), STATUS_SUCCESS);
    Name settingsName("Settings"), timeout("Timeout");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &settingsName.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, driverKey,
                               nullptr);
    ASSERT_EQ(ZwCreateKey(&settings, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr),
              STATUS_SUCCESS);
    LONG value = 3000;
    ASSERT_EQ(ZwSetValueKey(settings, &timeout.string, 0, REG_DWORD, &value, 4), STATUS_SUCCESS);
    ZwClose(settings);
    EXPECT_TRUE(ReadFile(path).empty()) << "saved while a handle was still open";
    ZwClose(driverKey);
    EXPECT_EQ(ReadFile(path),
              "Windows Registry Editor Version 5.00\r\n\r\n[" + kDriverKey + "\\Settings]\r\n"
              "\"Timeout\"=dword:00000bb8\r\n\r\n");
    EXPECT_FALSE(store->Unsaved());
    hostk::UnbindDeviceRegistry(&pdo);

    // A new store from the file holds what was saved.
    store.reset();
    auto again = RegistryStore::Open(path, &error);
    ASSERT_NE(again, nullptr) << error;
    uint32_t timeoutValue = 0;
    EXPECT_TRUE(again->GetDword(kDriverKey + "\\settings", "TIMEOUT", &timeoutValue));
    EXPECT_EQ(timeoutValue, 3000u);
}

TEST(RegistryStoreFile, CorruptFileIsReportedAndNeverTouched) {
    ScratchDirectory dir;
    std::string path = dir.File("store.reg");
    const std::string corrupt = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"A\"=dword:zz\r\n";
    WriteFile(path, corrupt);
    std::string error;
    EXPECT_EQ(RegistryStore::Open(path, &error), nullptr);
    EXPECT_EQ(error.find(path), 0u) << error;
    EXPECT_NE(error.find("line 4"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(path), corrupt);
    EXPECT_EQ(StoreFilesIn(dir.Path()), std::vector<std::string>{"store.reg"});

    // A path that is a directory cannot be read either.
    EXPECT_EQ(RegistryStore::Open(dir.Path(), &error), nullptr);
    EXPECT_NE(error.find(dir.Path()), std::string::npos);
}

// FromText is the load Open does once the file is read (the fuzz target
// loads through it): the same store from the same bytes, the same refusal.
TEST(RegistryStoreFile, TextLoadsAsTheFileDoes) {
    ScratchDirectory dir;
    std::string path = dir.File("store.reg");
    const std::string text =
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\B]\r\n\"Z\"=hex:01,\\\r\n 02\r\n"
        "[hkey_current_user\\A]\r\n@=\"x\"\r\n\"n\"=dword:7\r\n\"N\"=dword:8\r\n";
    WriteFile(path, text);
    std::string error;
    std::unique_ptr<RegistryStore> fromFile = RegistryStore::Open(path, &error);
    ASSERT_NE(fromFile, nullptr) << error;
    std::unique_ptr<RegistryStore> fromText = RegistryStore::FromText(text, &error);
    ASSERT_NE(fromText, nullptr) << error;
    EXPECT_EQ(fromText->Text(), fromFile->Text());
    uint32_t n = 0;
    EXPECT_TRUE(fromText->GetDword("HKEY_CURRENT_USER\\A", "n", &n));
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(fromText->Path(), "");
    EXPECT_FALSE(fromText->Unsaved());
    fromFile.reset();

    const std::string corrupt = text + "\"A\"=dword:zz\r\n";
    WriteFile(path, corrupt);
    std::string fileError, textError;
    EXPECT_EQ(RegistryStore::Open(path, &fileError), nullptr);
    EXPECT_EQ(RegistryStore::FromText(corrupt, &textError), nullptr);
    EXPECT_EQ(fileError, path + ": not a registry store file: " + textError);
    EXPECT_EQ(textError.find("line 10:"), 0u) << textError;
}

TEST(RegistryStoreFile, FailedSaveKeepsTheOldFileAndLeavesNoTemporary) {
    ScratchDirectory dir;
    std::string path = dir.File("store.reg");
    std::string error;
    auto store = RegistryStore::Open(path, &error);
    ASSERT_NE(store, nullptr);
    store->SetDword(kDriverKey + "\\Settings", "Hue", 10);
    ASSERT_TRUE(store->Flush(&error)) << error;
    const std::string saved = ReadFile(path);

    for (hostk::SaveStep step :
         {hostk::SaveStep::WriteTemporary, hostk::SaveStep::SyncTemporary, hostk::SaveStep::Rename}) {
        store->SetDword(kDriverKey + "\\Settings", "Hue", 20);
        hostk::RegistryFailNextSave(step);
        EXPECT_FALSE(store->Flush(&error));
        EXPECT_NE(error.find(path + ": cannot be saved"), std::string::npos) << error;
        EXPECT_EQ(store->LastSaveError(), error);
        EXPECT_EQ(ReadFile(path), saved);
        EXPECT_EQ(StoreFilesIn(dir.Path()), std::vector<std::string>{"store.reg"});
        EXPECT_TRUE(store->Unsaved());
    }
    EXPECT_TRUE(store->Flush(&error)) << error;
    EXPECT_EQ(store->LastSaveError(), "");
    EXPECT_NE(ReadFile(path).find("\"Hue\"=dword:00000014"), std::string::npos);
    hostk::RegistryResetFaults();
}

// A process killed at any moment of a save leaves the old file or the new
// one: the child saves two alternating versions as fast as it can and is
// killed at a different moment each round.
TEST(RegistryStoreFile, KillDuringSaveLeavesAWholeFile) {
    ScratchDirectory dir;
    std::string path = dir.File("store.reg");
    std::vector<std::string> versions;
    for (uint32_t round = 0; round < 2; ++round) {
        RegistryStore text;
        for (int i = 0; i < 400; ++i) text.SetDword(kDriverKey + "\\Settings", "Value" + std::to_string(i), round);
        versions.push_back(text.Text());
    }
    WriteFile(path, versions[0]);

    for (int round = 0; round < 20; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::string error;
            auto store = RegistryStore::Open(path, &error);
            if (!store) _exit(3);
            for (uint32_t n = 0;; ++n) {
                for (int i = 0; i < 400; ++i) store->SetDword(kDriverKey + "\\Settings", "Value" + std::to_string(i), n % 2);
                if (!store->Flush(&error)) _exit(4);
            }
        }
        usleep(2000 + round * 900);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saving process ended by itself with " << WEXITSTATUS(status);
        std::string content = ReadFile(path);
        EXPECT_TRUE(content == versions[0] || content == versions[1]) << "torn file after round " << round;
        std::string error;
        EXPECT_NE(RegistryStore::Open(path, &error), nullptr) << error;
    }
}

// ---- the store file's nature: mode, owner, links -------------------------------

struct stat StatOf(const std::string& path) {
    struct stat info{};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info;
}

// A store with one changed value, saved: true when the save worked.
bool OpenChangeAndSave(const std::string& path, uint32_t hue, std::string* error) {
    auto store = RegistryStore::Open(path, error, 0);
    if (!store) return false;
    store->SetDword(kDriverKey + "\\Settings", "Hue", hue);
    return store->Flush(error);
}

// A read-only store is refused when opened, with one line, and stays as it
// was, as Windows refuses to write a read-only hive: replacing it would
// turn it into a writable file without a word. The check is the file's
// mode, so that root is refused too.
TEST(RegistryStoreFile, ReadOnlyStoreIsRefusedAndLeftAsItIs) {
    ScratchDirectory dir;
    const std::string path = dir.File("store.reg");
    const std::string text = SmallStoreText();
    WriteFile(path, text);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    std::string error;
    EXPECT_EQ(RegistryStore::Open(path, &error, 0), nullptr);
    EXPECT_EQ(error, path + ": cannot be written (read-only, mode 0444)");
    EXPECT_EQ(ReadFile(path), text);
    EXPECT_EQ(StatOf(path).st_mode & 07777, 0444u);
    EXPECT_EQ(StoreFilesIn(dir.Path()), std::vector<std::string>{"store.reg"});
}

// A store the caller may not write (another user's, mode 0644) is refused
// too; run as another user when the test runs as root, which may write it.
TEST(RegistryStoreFile, StoreOfAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    ScratchDirectory dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
    const std::string path = dir.File("store.reg");
    WriteFile(path, SmallStoreText());
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            _exit(3);
        std::string error;
        auto store = RegistryStore::Open(path, &error, 0);
        ssize_t ignored = write(report[1], error.data(), error.size());
        (void)ignored;
        _exit(store ? 4 : 0);
    }
    close(report[1]);
    std::string error;
    char buffer[256];
    for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) error.append(buffer, static_cast<size_t>(n));
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << error;
    EXPECT_EQ(error, path + ": cannot be written (Permission denied; owner uid 0, mode 0644)");
    EXPECT_EQ(ReadFile(path), SmallStoreText());
}

// A save replaces the content only: the file keeps its mode, and its owner
// and group where the caller may set them (root may).
TEST(RegistryStoreFile, SaveKeepsTheFilesModeAndOwner) {
    ScratchDirectory dir;
    const std::string path = dir.File("store.reg");
    WriteFile(path, SmallStoreText());
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(path.c_str(), 4321, 8765), 0);
    }
    std::string error;
    ASSERT_TRUE(OpenChangeAndSave(path, 20, &error)) << error;
    const struct stat info = StatOf(path);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(info.st_uid, 4321u);
        EXPECT_EQ(info.st_gid, 8765u);
    }
    EXPECT_NE(ReadFile(path).find("\"Hue\"=dword:00000014"), std::string::npos);
    EXPECT_EQ(StoreFilesIn(dir.Path()), std::vector<std::string>{"store.reg"});
}

// A store named by a symbolic link (here through two) is saved into the file
// the links lead to, and the links stay; the lock goes with that file, so a
// run that names it directly waits for one that names the link.
TEST(RegistryStoreFile, LinkedStoreIsSavedThroughTheLinkToItsTarget) {
    ScratchDirectory dir;
    const std::string link = dir.File("store.reg");
    const std::string target = dir.File("target.reg");
    ASSERT_EQ(::symlink("middle.reg", link.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), dir.File("middle.reg").c_str()), 0);
    WriteFile(target, SmallStoreText());
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    std::string error;
    {
        auto store = RegistryStore::Open(link, &error, 0);
        ASSERT_NE(store, nullptr) << error;
        EXPECT_EQ(store->Path(), link);
        EXPECT_EQ(RegistryStore::Open(target, &error, 0), nullptr);
        EXPECT_NE(error.find("in use by pid " + std::to_string(getpid())), std::string::npos) << error;
        store->SetDword(kDriverKey + "\\Settings", "Hue", 30);
        ASSERT_TRUE(store->Flush(&error)) << error;
    }
    EXPECT_TRUE(S_ISLNK(StatOf(link).st_mode));
    EXPECT_TRUE(S_ISLNK(StatOf(dir.File("middle.reg")).st_mode));
    EXPECT_TRUE(S_ISREG(StatOf(target).st_mode));
    EXPECT_EQ(StatOf(target).st_mode & 07777, 0600u);
    EXPECT_NE(ReadFile(target).find("\"Hue\"=dword:0000001e"), std::string::npos);
    // The next run through the target sees what the link's run saved.
    auto again = RegistryStore::Open(target, &error, 0);
    ASSERT_NE(again, nullptr) << error;
    uint32_t hue = 0;
    EXPECT_TRUE(again->GetDword(kDriverKey + "\\Settings", "Hue", &hue));
    EXPECT_EQ(hue, 30u);
}

// A link to a file not made yet: the first save makes the target. Links that
// go round are refused with one line.
TEST(RegistryStoreFile, DanglingLinkGetsItsTargetAndLoopsAreRefused) {
    ScratchDirectory dir;
    const std::string link = dir.File("store.reg");
    ASSERT_EQ(::symlink("new.reg", link.c_str()), 0);
    std::string error;
    ASSERT_TRUE(OpenChangeAndSave(link, 40, &error)) << error;
    EXPECT_TRUE(S_ISLNK(StatOf(link).st_mode));
    EXPECT_NE(ReadFile(dir.File("new.reg")).find("\"Hue\"=dword:00000028"), std::string::npos);

    ASSERT_EQ(::symlink("b.reg", dir.File("a.reg").c_str()), 0);
    ASSERT_EQ(::symlink("a.reg", dir.File("b.reg").c_str()), 0);
    EXPECT_EQ(RegistryStore::Open(dir.File("a.reg"), &error, 0), nullptr);
    EXPECT_EQ(error, dir.File("a.reg") + ": cannot be read (Too many levels of symbolic links)");
}

// An empty name is no store: it would never be saved.
TEST(RegistryStoreFile, EmptyNameIsRefused) {
    std::string error;
    EXPECT_EQ(RegistryStore::Open("", &error, 0), nullptr);
    EXPECT_EQ(error, "\"\": a registry store needs a file name");
}

// ---- hostile store files -----------------------------------------------------

const std::string kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";

std::string Utf16File(const std::string& utf8) {
    std::string bytes = "\xFF\xFE";
    for (uint16_t unit : hostk::Utf8ToUtf16(utf8)) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

std::string NestedPath(const std::string& hive, size_t levels) {
    std::string path = hive;
    for (size_t i = 0; i < levels; ++i) path += "\\k";
    return path;
}

bool Parses(const std::string& text, std::string* error, std::vector<RegFileKey>* keys = nullptr) {
    std::vector<RegFileKey> ignored;
    return hostk::ParseRegFile(text, keys ? keys : &ignored, error);
}

// Keys 512 levels below the root, key names of 255 characters and value
// names of 16,383 are as far as the registry goes; a file beyond that is
// refused on its line, without the whole 60 KB path in the message.
TEST(HostileStoreFile, NestingAndNameLengthsStopAtTheRegistryLimits) {
    std::string error;
    std::string deep = kHeader + "[" + NestedPath("HKEY_CURRENT_USER", 30000) + "]\r\n\"A\"=dword:1\r\n";
    EXPECT_FALSE(Parses(deep, &error));
    EXPECT_EQ(error.rfind("line 3: ", 0), 0u) << error.substr(0, 200);
    EXPECT_NE(error.find("512"), std::string::npos) << error.substr(0, 200);
    EXPECT_LT(error.size(), 300u);

    EXPECT_TRUE(Parses(kHeader + "[" + NestedPath("HKEY_CURRENT_USER", 512) + "]\r\n", &error)) << error;
    EXPECT_FALSE(Parses(kHeader + "[" + NestedPath("HKEY_CURRENT_USER", 513) + "]\r\n", &error));
    EXPECT_EQ(error.rfind("line 3: ", 0), 0u) << error;

    // Lengths count UTF-16 characters, as the registry does, not UTF-8 bytes.
    std::string e255;
    for (int i = 0; i < 255; ++i) e255 += "\xC3\xA9";
    EXPECT_TRUE(Parses(kHeader + "[HKEY_CURRENT_USER\\" + e255 + "]\r\n", &error)) << error;
    EXPECT_FALSE(Parses(kHeader + "[HKEY_CURRENT_USER\\" + e255 + "x]\r\n", &error));
    EXPECT_EQ(error.rfind("line 3: ", 0), 0u) << error;
    EXPECT_NE(error.find("255"), std::string::npos) << error;
    std::string longName(16383, 'v');
    EXPECT_TRUE(Parses(kHeader + "[HKEY_CURRENT_USER\\K]\r\n\"" + longName + "\"=dword:1\r\n", &error)) << error;
    EXPECT_FALSE(Parses(kHeader + "[HKEY_CURRENT_USER\\K]\r\n\"" + longName + "v\"=dword:1\r\n", &error));
    EXPECT_EQ(error.rfind("line 4: ", 0), 0u) << error;
    EXPECT_NE(error.find("16383"), std::string::npos) << error;
}

// The deepest tree the registry allows is saved and read back; saving and
// freeing it walk the tree without recursion.
TEST(HostileStoreFile, DeepestAllowedTreeSavesAndLoadsAgain) {
    ScratchDirectory dir;
    std::string path = dir.File("store.reg");
    std::string deepest = NestedPath("HKEY_CURRENT_USER", 512);
    {
        std::string error;
        auto store = RegistryStore::Open(path, &error);
        ASSERT_NE(store, nullptr) << error;
        EXPECT_TRUE(store->SetDword(deepest, "Leaf", 7));
        EXPECT_FALSE(store->SetDword(deepest + "\\k", "TooDeep", 8));
        ASSERT_TRUE(store->Flush(&error)) << error;
    }
    std::string error;
    auto again = RegistryStore::Open(path, &error);
    ASSERT_NE(again, nullptr) << error;
    uint32_t leaf = 0;
    EXPECT_TRUE(again->GetDword(deepest, "leaf", &leaf));
    EXPECT_EQ(leaf, 7u);
    EXPECT_FALSE(again->KeyExists(deepest + "\\k"));
}

// 40,000 sibling keys, and as many values in one key, load with a number of
// name comparisons that grows as n log n, not as n squared.
TEST(HostileStoreFile, ManyKeysAndValuesLoadWithoutScanningTheirSiblings) {
    const size_t n = 40000;
    std::string text = kHeader;
    for (size_t i = 0; i < n; ++i) text += "[HKEY_CURRENT_USER\\Wide\\Key" + std::to_string(i) + "]\r\n\"V\"=dword:1\r\n";
    text += "[HKEY_CURRENT_USER\\Values]\r\n";
    for (size_t i = 0; i < n; ++i) text += "\"Value" + std::to_string(i) + "\"=dword:2\r\n";
    ScratchDirectory dir;
    WriteFile(dir.File("wide.reg"), text);

    size_t before = hostk::RegistryNameComparisons();
    std::string error;
    auto store = RegistryStore::Open(dir.File("wide.reg"), &error);
    ASSERT_NE(store, nullptr) << error;
    size_t comparisons = hostk::RegistryNameComparisons() - before;
    EXPECT_LT(comparisons, 2 * n * 40) << "lookups scan the siblings";
    uint32_t value = 0;
    EXPECT_TRUE(store->GetDword("HKEY_CURRENT_USER\\Wide\\KEY39999", "v", &value));
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(store->GetDword("HKEY_CURRENT_USER\\Values", "value20000", &value));
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(store->Values("HKEY_CURRENT_USER\\Values").size(), n);
    // Values keep the order of the file; keys are exported sorted.
    EXPECT_EQ(store->Values("HKEY_CURRENT_USER\\Values")[1].name, "Value1");
}

// A file beyond the size cap is refused before it is read, naming the cap.
TEST(HostileStoreFile, FileLargerThanTheCapIsRefused) {
    ScratchDirectory dir;
    std::string path = dir.File("huge.reg");
    WriteFile(path, kHeader);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(hostk::kRegistryStoreMaxBytes) + 1), 0);
    std::string error;
    EXPECT_EQ(RegistryStore::Open(path, &error), nullptr);
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
    EXPECT_NE(error.find("64 MiB"), std::string::npos) << error;
}

// Only data lines go on in the next line: a comment ending in a backslash
// must not swallow the value after it.
TEST(HostileStoreFile, CommentEndingInABackslashDoesNotSwallowTheNextLine) {
    std::vector<RegFileKey> keys;
    std::string error;
    ASSERT_TRUE(Parses(kHeader + "[HKEY_CURRENT_USER\\K]\r\n; see C:\\\r\n\"A\"=dword:00000005\r\n"
                                 "\"B\"=hex:01,\\\r\n  02\r\n",
                       &error, &keys))
        << error;
    ASSERT_EQ(keys.size(), 1u);
    ASSERT_EQ(keys[0].values.size(), 2u);
    EXPECT_EQ(keys[0].values[0].name, "A");
    EXPECT_EQ(keys[0].values[0].data, Dword(5));
    EXPECT_EQ(keys[0].values[1].data, (std::vector<uint8_t>{1, 2}));
}

// A NUL (or a line break) inside a name cannot be written back to the file:
// a file holding one is refused on its line, and the store refuses to take
// one, so a save never writes what a load refuses.
TEST(HostileStoreFile, NamesTheFileCannotHoldAreRefusedOnLoadAndOnSet) {
    std::string error;
    EXPECT_FALSE(Parses(Utf16File(kHeader + "[HKEY_CURRENT_USER\\K]\r\n\"A" + std::string(1, '\0') + "B\"=dword:1\r\n"),
                        &error));
    EXPECT_EQ(error.rfind("line 4: ", 0), 0u) << error;
    EXPECT_NE(error.find("NUL"), std::string::npos) << error;

    RegistryStore store;
    EXPECT_FALSE(store.SetDword("HKEY_CURRENT_USER\\K", std::string("A\0B", 3), 1));
    EXPECT_FALSE(store.SetDword("HKEY_CURRENT_USER\\K", "A\nB", 1));
    EXPECT_FALSE(store.SetDword(std::string("HKEY_CURRENT_USER\\K\0", 21), "A", 1));
    EXPECT_TRUE(store.SetDword("HKEY_CURRENT_USER\\K", "A\\\"B", 1));
    EXPECT_TRUE(Parses(store.Text(), &error)) << error;
    EXPECT_EQ(store.Values("HKEY_CURRENT_USER\\K").size(), 1u);
}

// Values directly under a root key are kept through a save.
TEST(HostileStoreFile, ValuesUnderARootKeySurviveASave) {
    ScratchDirectory dir;
    std::string path = dir.File("store.reg");
    WriteFile(path, kHeader + "[HKEY_CURRENT_USER]\r\n\"Top\"=dword:00000009\r\n");
    std::string error;
    {
        auto store = RegistryStore::Open(path, &error);
        ASSERT_NE(store, nullptr) << error;
        store->SetDword("HKEY_CURRENT_USER\\Other", "X", 1);
        ASSERT_TRUE(store->Flush(&error)) << error;
    }
    auto again = RegistryStore::Open(path, &error);
    ASSERT_NE(again, nullptr) << error;
    uint32_t top = 0;
    EXPECT_TRUE(again->GetDword("HKEY_CURRENT_USER", "Top", &top)) << ReadFile(path);
    EXPECT_EQ(top, 9u);
}

// Comments are not kept: a save writes the values without them (the README
// says so). What matters is that no value goes with them.
TEST(HostileStoreFile, SaveDropsCommentsButNoValue) {
    ScratchDirectory dir;
    std::string path = dir.File("store.reg");
    WriteFile(path, kHeader + "; mine\r\n[HKEY_CURRENT_USER\\K]\r\n; the exposure I like\r\n\"A\"=dword:00000003\r\n");
    std::string error;
    {
        auto store = RegistryStore::Open(path, &error);
        ASSERT_NE(store, nullptr) << error;
        store->SetDword("HKEY_CURRENT_USER\\K", "B", 4);
    }
    EXPECT_EQ(ReadFile(path), kHeader + "[HKEY_CURRENT_USER\\K]\r\n\"A\"=dword:00000003\r\n\"B\"=dword:00000004\r\n\r\n");
}

// ---- two processes on one store ----------------------------------------------

// A store is locked for as long as it is open: a second opener waits the
// time it was given, then fails with one line naming the file and the holder.
TEST(RegistryStoreLock, SecondOpenerWaitsThenNamesTheHolder) {
    ScratchDirectory dir;
    std::string path = dir.File("store.reg");
    std::string error;
    auto holder = RegistryStore::Open(path, &error);
    ASSERT_NE(holder, nullptr) << error;
    EXPECT_EQ(RegistryStore::Open(path, &error, 0), nullptr);
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
    EXPECT_NE(error.find("pid " + std::to_string(getpid())), std::string::npos) << error;
    EXPECT_NE(error.find("test_kernel"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(RegistryStore::Open(path, &error, 200), nullptr);
    holder.reset();
    EXPECT_NE(RegistryStore::Open(path, &error, 0), nullptr) << error;
}

// The change of a process that had the store first is what the next one
// loads: it waits for the first to save and let go.
TEST(RegistryStoreLock, NextProcessLoadsWhatTheFirstSaved) {
    ScratchDirectory dir;
    std::string path = dir.File("store.reg");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string error;
        auto store = RegistryStore::Open(path, &error);
        if (!store) _exit(3);
        char byte = 1;
        if (write(ready[1], &byte, 1) != 1) _exit(4);
        usleep(300 * 1000);
        store->SetDword("HKEY_CURRENT_USER\\K", "Brightness", 300);
        store.reset();  // saves, then unlocks
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    std::string error;
    auto store = RegistryStore::Open(path, &error, 30000);
    ASSERT_NE(store, nullptr) << error;
    uint32_t brightness = 0;
    EXPECT_TRUE(store->GetDword("HKEY_CURRENT_USER\\K", "Brightness", &brightness));
    EXPECT_EQ(brightness, 300u);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
