// The registry stand-in: the export file format, the Zw* calls as drivers
// meet them on Windows, fault injection, and the store file's safety (atomic
// saves, a corrupt file left alone).
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
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
    EXPECT_EQ(DirectoryEntries(dir.Path()).size(), 1u);

    // A path that is a directory cannot be read either.
    EXPECT_EQ(RegistryStore::Open(dir.Path(), &error), nullptr);
    EXPECT_NE(error.find(dir.Path()), std::string::npos);
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
        EXPECT_EQ(DirectoryEntries(dir.Path()), std::vector<std::string>{"store.reg"});
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

}  // namespace
