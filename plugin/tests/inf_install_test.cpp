// The driver package's INF, read and run by setupapi (Wine's, here):
//
//     inf_install_test.exe PACKAGE_DIR HARDWARE_ID PROBE32 [gtest options]
//
// Opens PACKAGE_DIR\QuelvixZ51RDS.inf with SetupOpenInfFileW, follows every
// section the model's install sections name, and runs what setupapi runs in
// user mode: the file copies into the driver store, the registry sections
// (the device-relative ones into a scratch key) and the service. After the
// install, a 64-bit and a 32-bit process (installed_class_probe.exe beside
// this program, and PROBE32, the 32-bit build of it) create the plug-in's
// classes from the driver store. The plug-in's registration written by the
// INF must be, value for value in both registry views, what the libraries'
// own DllRegisterServer writes for the installed files.
// 64-bit only: the INF installs on x64, where setupapi runs 64-bit.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "IQuelvixDSProxyConfig.h"
#include "registry_expectations.h"

namespace {

std::wstring g_package;      // Windows path of the package folder
std::wstring g_hardwareId;
std::wstring g_probe32;      // the 32-bit installed_class_probe.exe

const wchar_t kInfName[] = L"QuelvixZ51RDS.inf";
const wchar_t kInstall[] = L"Quelvix.Camera.NTamd64";
const wchar_t kScratchKey[] = L"Software\\QuelvixInfTest";
// The Camera setup class and the KS proxy, as Windows defines them.
const GUID kCameraClass = {0xca3e7ab9, 0xb4c3, 0x4ae6, {0x82, 0x51, 0x57, 0x9e, 0xf9, 0x33, 0x89, 0x0f}};
const wchar_t kKsProxyClsid[] = L"{17CCA71B-ECD7-11D0-B908-00A0C9223196}";

// Wine's setupapi does not know DIRID 13, the driver store: it installs
// there into system32\unknown. The tests therefore open a staged copy of the
// INF in which every 13 that names the driver store is this user DIRID, set
// to the folder Windows gives a staged package, and one test holds the copy
// to differing from the shipped INF in exactly those places.
const DWORD kStagedDriverStore = 0x8000 + 13;
const wchar_t kStoreFolder[] = L"quelvixz51rds.inf_amd64_5d3c1e0a9b7f2468";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring Field(PINFCONTEXT line, DWORD index) {
    wchar_t buffer[1024];
    DWORD size = 0;
    if (!SetupGetStringFieldW(line, index, buffer, 1024, &size)) return L"";
    return buffer;
}

// Every field of every `key` line of a section (all its lines when key is null).
std::vector<std::wstring> Fields(HINF inf, const wchar_t* section, const wchar_t* key) {
    std::vector<std::wstring> fields;
    INFCONTEXT line;
    BOOL found = key ? SetupFindFirstLineW(inf, section, key, &line) : SetupFindFirstLineW(inf, section, nullptr, &line);
    while (found) {
        for (DWORD i = 1, n = SetupGetFieldCount(&line); i <= n; ++i) fields.push_back(Field(&line, i));
        found = key ? SetupFindNextMatchLineW(&line, key, &line) : SetupFindNextLine(&line, &line);
    }
    return fields;
}

std::wstring Value(HINF inf, const wchar_t* section, const wchar_t* key) {
    INFCONTEXT line;
    if (!SetupFindFirstLineW(inf, section, key, &line)) return L"";
    return Field(&line, 1);
}

// The registry root of an AddReg section's first line.
std::wstring FirstField(HINF inf, const std::wstring& section) {
    INFCONTEXT line;
    return SetupFindFirstLineW(inf, section.c_str(), nullptr, &line) ? Field(&line, 1) : L"";
}

bool SectionExists(HINF inf, const std::wstring& section) {
    return SetupGetLineCountW(inf, section.c_str()) >= 0;
}

std::wstring WindowsDirectory() {
    wchar_t path[MAX_PATH];
    GetWindowsDirectoryW(path, MAX_PATH);
    return path;
}

std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

// Where Windows puts the package: its own folder of the driver store.
std::wstring DriverStoreFolder() {
    return WindowsDirectory() + L"\\system32\\DriverStore\\FileRepository\\" + kStoreFolder;
}

std::string Trimmed(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t\r\n");
    const size_t end = text.find_last_not_of(" \t\r\n");
    return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

// The INF with the driver store's DIRID replaced by kStagedDriverStore: the
// value of each [DestinationDirs] entry that is 13 (alone or before its
// subfolder), and every %13%. `replaced` counts the places.
std::string StagedInf(const std::string& shipped, int* replaced) {
    const std::string staged = std::to_string(kStagedDriverStore);
    std::string out, section;
    *replaced = 0;
    size_t start = 0;
    while (start < shipped.size()) {
        size_t end = shipped.find('\n', start);
        end = end == std::string::npos ? shipped.size() : end + 1;
        std::string line = shipped.substr(start, end - start);
        start = end;
        const std::string code = Trimmed(line.substr(0, line.find(';')));
        if (code.size() > 2 && code.front() == '[' && code.back() == ']') section = code.substr(1, code.size() - 2);
        const size_t equals = line.find('=');
        if (_stricmp(section.c_str(), "DestinationDirs") == 0 && equals != std::string::npos && !code.empty() &&
            code.front() != '[') {
            const size_t value = line.find_first_not_of(" \t", equals + 1);
            const size_t after = value + 2;
            if (value != std::string::npos && line.compare(value, 2, "13") == 0 &&
                (after == line.size() || std::strchr(", \t;\r\n", line[after]))) {
                line.replace(value, 2, staged);
                ++*replaced;
            }
        }
        for (size_t at = line.find("%13%"); at != std::string::npos; at = line.find("%13%", at)) {
            line.replace(at + 1, 2, staged);
            ++*replaced;
        }
        out += line;
    }
    return out;
}

class Inf : public ::testing::Test {
protected:
    // Opens the staged copy, written to the temporary folder, and points its
    // driver-store DIRID at the package's folder of the driver store.
    void SetUp() override {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        path_ = std::wstring(folder) + L"QuelvixZ51RDS-staged.inf";
        int replaced = 0;
        ASSERT_TRUE(WriteFileBytes(path_, StagedInf(ReadFileBytes(g_package + L"\\" + kInfName), &replaced)));
        UINT errorLine = 0;
        inf_ = SetupOpenInfFileW(path_.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
        ASSERT_NE(inf_, INVALID_HANDLE_VALUE) << "error " << GetLastError() << " at line " << errorLine;
        ASSERT_TRUE(SetupSetDirectoryIdW(inf_, kStagedDriverStore, DriverStoreFolder().c_str())) << GetLastError();
    }
    void TearDown() override {
        if (inf_ != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf_);
        DeleteFileW(path_.c_str());
    }

    // Appends an INF of our own whose one section lists some of the
    // package's sections, so that setupapi runs exactly those.
    void AppendHarness(const std::wstring& section, const std::wstring& directives) {
        wchar_t folder[MAX_PATH], file[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"inf", 0, file);
        std::wstring text = L"[Version]\r\nSignature=\"$Windows NT$\"\r\n[" + section + L"]\r\n" + directives;
        HANDLE handle = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        std::string bytes = Narrow(text);
        DWORD written = 0;
        WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(handle);
        ASSERT_TRUE(SetupOpenAppendInfFileW(file, inf_, nullptr)) << GetLastError();
        DeleteFileW(file);
    }

    // Runs the section with setupapi's default (silent) file queue callback.
    bool Install(const std::wstring& section, UINT flags, HKEY relativeKey) {
        void* context = SetupInitDefaultQueueCallbackEx(nullptr, reinterpret_cast<HWND>(INVALID_HANDLE_VALUE), 0, 0, nullptr);
        const BOOL ok = SetupInstallFromInfSectionW(nullptr, inf_, section.c_str(), flags, relativeKey, g_package.c_str(),
                                                    SP_COPY_NOSKIP, SetupDefaultQueueCallbackW, context, nullptr, nullptr);
        const DWORD error = GetLastError();
        SetupTermDefaultQueueCallback(context);
        if (!ok) std::printf("SetupInstallFromInfSection %s: error %lu\n", Narrow(section).c_str(), error);
        return ok != FALSE;
    }

    std::wstring path_;
    HINF inf_ = INVALID_HANDLE_VALUE;
};

// The copy the other tests install differs from the shipped INF only where
// the shipped one names the driver store: four destinations and five paths
// (the service binary, and each class's library in each view).
TEST_F(Inf, TheStagedCopyDiffersFromTheShippedInfOnlyInTheDriverStoresDirid) {
    const std::string shipped = ReadFileBytes(g_package + L"\\" + kInfName);
    const std::string staged = std::to_string(kStagedDriverStore);
    ASSERT_EQ(std::string::npos, shipped.find(staged));
    int replaced = 0;
    std::string copy = StagedInf(shipped, &replaced);
    EXPECT_EQ(9, replaced);
    for (size_t at = copy.find(staged); at != std::string::npos; at = copy.find(staged, at)) copy.replace(at, staged.size(), "13");
    EXPECT_EQ(shipped, copy);
    // And nothing in the copy goes anywhere but the driver store.
    INFCONTEXT line;
    int destinations = 0;
    for (BOOL found = SetupFindFirstLineW(inf_, L"DestinationDirs", nullptr, &line); found;
         found = SetupFindNextLine(&line, &line), ++destinations) {
        INT dirid = 0;
        EXPECT_TRUE(SetupGetIntField(&line, 1, &dirid));
        EXPECT_EQ(static_cast<INT>(kStagedDriverStore), dirid) << Narrow(Field(&line, 0));
    }
    EXPECT_EQ(4, destinations);
}

TEST_F(Inf, VersionNamesTheCameraClassAndASignedLockedDownPackage) {
    wchar_t className[64];  // a class name has at most 32 characters
    GUID classGuid;
    ASSERT_TRUE(SetupDiGetINFClassW(path_.c_str(), &classGuid, className, 64, nullptr));
    EXPECT_STREQ(L"Camera", className);
    EXPECT_TRUE(IsEqualGUID(kCameraClass, classGuid));
    EXPECT_EQ(L"$Windows NT$", Value(inf_, L"Version", L"Signature"));
    EXPECT_FALSE(Value(inf_, L"Version", L"Provider").empty());
    EXPECT_EQ(L"QuelvixZ51RDS.cat", Value(inf_, L"Version", L"CatalogFile"));
    EXPECT_EQ(L"1", Value(inf_, L"Version", L"PnpLockdown"));
    const std::vector<std::wstring> driverVer = Fields(inf_, L"Version", L"DriverVer");
    ASSERT_EQ(2u, driverVer.size());
    int month = 0, day = 0, year = 0;
    EXPECT_EQ(3, swscanf(driverVer[0].c_str(), L"%d/%d/%d", &month, &day, &year)) << Narrow(driverVer[0]);
    EXPECT_TRUE(month >= 1 && month <= 12 && day >= 1 && day <= 31 && year >= 2020);
    int a = 0, b = 0, c = 0, d = 0;
    EXPECT_EQ(4, swscanf(driverVer[1].c_str(), L"%d.%d.%d.%d", &a, &b, &c, &d)) << Narrow(driverVer[1]);
}

TEST_F(Inf, TheX64ModelNamesTheHardwareIdAndEveryReferencedSectionExists) {
    const std::vector<std::wstring> manufacturer = Fields(inf_, L"Manufacturer", nullptr);
    ASSERT_EQ(2u, manufacturer.size());
    EXPECT_EQ(L"NTamd64", manufacturer[1]);
    const std::wstring models = manufacturer[0] + L".NTamd64";
    const std::vector<std::wstring> model = Fields(inf_, models.c_str(), nullptr);
    ASSERT_EQ(2u, model.size());
    EXPECT_EQ(g_hardwareId, model[1]);
    EXPECT_EQ(std::wstring(kInstall), model[0] + L".NTamd64");

    const std::wstring install = kInstall;
    for (const std::wstring& section : {install, install + L".Interfaces", install + L".Services"})
        EXPECT_TRUE(SectionExists(inf_, section)) << Narrow(section);
    const std::vector<std::wstring> includes = Fields(inf_, kInstall, L"Include");
    const std::vector<std::wstring> needs = Fields(inf_, kInstall, L"Needs");
    EXPECT_EQ((std::vector<std::wstring>{L"ks.inf", L"kscaptur.inf"}), includes);
    EXPECT_EQ((std::vector<std::wstring>{L"KS.Registration", L"KSCAPTUR.Registration.NT"}), needs);

    for (const wchar_t* directive : {L"CopyFiles", L"AddReg"}) {
        const std::vector<std::wstring> sections = Fields(inf_, kInstall, directive);
        EXPECT_FALSE(sections.empty()) << Narrow(directive);
        for (const std::wstring& section : sections) EXPECT_TRUE(SectionExists(inf_, section)) << Narrow(section);
    }
    // Each CopyFiles section has a destination in the driver store, and each
    // file a source on a named disk that is in the package.
    const std::map<std::wstring, std::wstring> destinations = {
        {L"Quelvix.Driver.Files", DriverStoreFolder()},
        {L"Quelvix.Plugin64.Files", DriverStoreFolder() + L"\\x64"},
        {L"Quelvix.Plugin32.Files", DriverStoreFolder() + L"\\x86"},
    };
    for (const std::wstring& section : Fields(inf_, kInstall, L"CopyFiles")) {
        wchar_t target[MAX_PATH];
        ASSERT_TRUE(SetupGetTargetPathW(inf_, nullptr, section.c_str(), target, MAX_PATH, nullptr)) << Narrow(section);
        ASSERT_EQ(1u, destinations.count(section)) << Narrow(section);
        EXPECT_EQ(0, _wcsicmp(destinations.at(section).c_str(), target)) << Narrow(target);
        INFCONTEXT line;
        for (BOOL found = SetupFindFirstLineW(inf_, section.c_str(), nullptr, &line); found;
             found = SetupFindNextLine(&line, &line)) {
            const std::wstring source = SetupGetFieldCount(&line) >= 2 ? Field(&line, 2) : Field(&line, 1);
            UINT disk = 0;
            wchar_t unused[MAX_PATH];
            ASSERT_TRUE(SetupGetSourceFileLocationW(inf_, nullptr, source.c_str(), &disk, unused, MAX_PATH, nullptr))
                << Narrow(source);
            wchar_t description[256];
            EXPECT_TRUE(SetupGetSourceInfoW(inf_, disk, SRCINFO_DESCRIPTION, description, 256, nullptr)) << disk;
            // The subfolder is the entry's second field (Wine's
            // SetupGetSourceFileLocationW does not report it).
            INFCONTEXT entry;
            ASSERT_TRUE(SetupFindFirstLineW(inf_, L"SourceDisksFiles", source.c_str(), &entry)) << Narrow(source);
            const std::wstring subdir = Field(&entry, 2);
            const std::wstring file = g_package + L"\\" + (subdir.empty() ? L"" : subdir + L"\\") + source;
            EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(file.c_str())) << Narrow(file);
        }
    }

    // The three categories, reference string "GLOBAL", one interface section.
    std::vector<std::wstring> categories;
    INFCONTEXT line;
    const std::wstring interfaces = install + L".Interfaces";
    for (BOOL found = SetupFindFirstLineW(inf_, interfaces.c_str(), L"AddInterface", &line); found;
         found = SetupFindNextMatchLineW(&line, L"AddInterface", &line)) {
        categories.push_back(Field(&line, 1));
        EXPECT_EQ(L"GLOBAL", Field(&line, 2));
        const std::wstring section = Field(&line, 3);
        EXPECT_TRUE(SectionExists(inf_, section)) << Narrow(section);
        for (const std::wstring& addReg : Fields(inf_, section.c_str(), L"AddReg"))
            EXPECT_TRUE(SectionExists(inf_, addReg)) << Narrow(addReg);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"{65E8773D-8F56-11D0-A3B9-00A0C9223196}",
                                         L"{6994AD05-93EF-11D0-A3CC-00A0C9223196}",
                                         L"{E5323777-F976-4F5B-9B55-B94699C46E44}"}),
              categories);
    const std::vector<std::wstring> service = Fields(inf_, (install + L".Services").c_str(), L"AddService");
    ASSERT_EQ(3u, service.size());
    EXPECT_TRUE(SectionExists(inf_, service[2])) << Narrow(service[2]);
}

// ---------------------------------------------------------------------------
// The plug-in's registration

// One value as read in one registry view.
using ValueKey = std::tuple<REGSAM, HKEY, std::wstring, std::wstring>;

struct Snapshot {
    std::map<ValueKey, RegistryValue> values;
};

RegistryValue ReadViewValue(REGSAM view, HKEY root, const std::wstring& key, const std::wstring& name) {
    RegistryValue value;
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | view, &handle) != ERROR_SUCCESS) return value;
    DWORD size = 0;
    const wchar_t* valueName = name.empty() ? nullptr : name.c_str();
    if (RegQueryValueExW(handle, valueName, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
        value.bytes.resize(size);
        value.found = RegQueryValueExW(handle, valueName, nullptr, &value.type, value.bytes.data(), &size) == ERROR_SUCCESS;
        value.bytes.resize(size);
    }
    RegCloseKey(handle);
    return value;
}

// Every value registration writes, in both views (HKLM\System is one key
// for both; reading it twice costs nothing).
Snapshot ReadRegistration() {
    Snapshot snapshot;
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        for (const CLSID* clsid : {&CLSID_QuelvixDSProxyPluginPage, &IID_IQuelvixDSProxyConfig}) {
            const std::wstring key = ClassKey(*clsid);
            for (const auto& [subkey, name] : {std::pair<std::wstring, std::wstring>{key, L""},
                                               {key + L"\\InprocServer32", L""},
                                               {key + L"\\InprocServer32", L"ThreadingModel"}}) {
                snapshot.values[{view, HKEY_CLASSES_ROOT, subkey, name}] = ReadViewValue(view, HKEY_CLASSES_ROOT, subkey, name);
            }
        }
        for (const auto& [key, name] : {std::pair<std::wstring, std::wstring>{PropertyPagesKey(), L""},
                                        {MediaInterfaceKey(), L""},
                                        {MediaInterfaceKey(), L"IID"}}) {
            snapshot.values[{view, HKEY_LOCAL_MACHINE, key, name}] = ReadViewValue(view, HKEY_LOCAL_MACHINE, key, name);
        }
    }
    return snapshot;
}

// Removes every key of the layout from both views.
void RemoveRegistration() {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        for (const CLSID* clsid : {&CLSID_QuelvixDSProxyPluginPage, &IID_IQuelvixDSProxyConfig}) {
            HKEY classes = nullptr;
            if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_ALL_ACCESS | view, &classes) == ERROR_SUCCESS) {
                RegDeleteTreeW(classes, GuidString(*clsid).c_str());
                RegCloseKey(classes);
            }
        }
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, MediaSetKey().c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, MediaInterfaceKey().c_str());
}

// A REG_SZ path is compared without regard to case, as the file system does.
bool SameValue(const RegistryValue& a, const RegistryValue& b, bool isPath) {
    if (a.found != b.found || a.type != b.type || a.bytes.size() != b.bytes.size()) return false;
    if (!isPath) return a.bytes == b.bytes;
    return _wcsicmp(reinterpret_cast<const wchar_t*>(a.bytes.data()), reinterpret_cast<const wchar_t*>(b.bytes.data())) == 0;
}

std::wstring Text(const RegistryValue& value) {
    if (!value.found) return L"(absent)";
    if (value.type != REG_SZ) return L"(" + std::to_wstring(value.bytes.size()) + L" bytes)";
    return reinterpret_cast<const wchar_t*>(value.bytes.data());
}

DWORD RunAndWait(std::wstring command) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return GetLastError() | 0x10000000u;
    WaitForSingleObject(process.hProcess, 120000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

// Removes the package's folder of the driver store, files and all.
void RemoveDriverStoreFolder() {
    const std::wstring store = DriverStoreFolder();
    for (const wchar_t* file : {L"\\x64\\QuelvixProxyPlugin.dll", L"\\x86\\QuelvixProxyPlugin32.dll", L"\\QuelvixZ51RDS.sys"})
        DeleteFileW((store + file).c_str());
    RemoveDirectoryW((store + L"\\x64").c_str());
    RemoveDirectoryW((store + L"\\x86").c_str());
    RemoveDirectoryW(store.c_str());
}

// The 64-bit class probe, built beside this program.
std::wstring Probe64() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring self = path;
    return self.substr(0, self.find_last_of(L'\\') + 1) + L"installed_class_probe.exe";
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

TEST_F(Inf, BothBitnessesCreateTheClassesFromTheDriverStoreWhereDllRegisterServerWouldRegisterThem) {
    const std::wstring store = DriverStoreFolder();
    const std::wstring dll64 = store + L"\\x64\\QuelvixProxyPlugin.dll";
    const std::wstring dll32 = store + L"\\x86\\QuelvixProxyPlugin32.dll";
    const std::wstring sys = store + L"\\QuelvixZ51RDS.sys";
    const std::wstring regsvr32 = Quoted(WindowsDirectory() + L"\\syswow64\\regsvr32.exe");
    RemoveRegistration();
    RemoveDriverStoreFolder();

    // The install section's file copies and its registry sections that need
    // no device key (HKR ones have their own test below).
    std::wstring directives = L"CopyFiles=" ;
    const std::vector<std::wstring> copyFiles = Fields(inf_, kInstall, L"CopyFiles");
    for (size_t i = 0; i < copyFiles.size(); ++i) directives += (i ? L"," : L"") + copyFiles[i];
    directives += L"\r\nAddReg=";
    int machineSections = 0;
    for (const std::wstring& section : Fields(inf_, kInstall, L"AddReg")) {
        if (FirstField(inf_, section) == L"HKR") continue;
        directives += (machineSections++ ? L"," : L"") + section;
    }
    directives += L"\r\n";
    EXPECT_EQ(3, machineSections);
    AppendHarness(L"Quelvix.Test.Machine", directives);
    ASSERT_TRUE(Install(L"Quelvix.Test.Machine", SPINST_FILES | SPINST_REGISTRY, nullptr));

    for (const auto& [shipped, installed] : {std::pair<std::wstring, std::wstring>{L"\\x64\\QuelvixProxyPlugin.dll", dll64},
                                             {L"\\x86\\QuelvixProxyPlugin32.dll", dll32},
                                             {L"\\QuelvixZ51RDS.sys", sys}}) {
        const std::string bytes = ReadFileBytes(installed);
        EXPECT_FALSE(bytes.empty()) << Narrow(installed) << " was not installed";
        EXPECT_TRUE(bytes == ReadFileBytes(g_package + shipped)) << Narrow(installed) << " differs from the package's";
    }

    // What the install alone makes possible: a 64-bit and a 32-bit process
    // each create the classes through COM, from its own library in the driver
    // store (WOW64 does not redirect the driver store for the 32-bit one).
    EXPECT_EQ(0u, RunAndWait(Quoted(Probe64()) + L" " + Quoted(dll64)));
    EXPECT_EQ(0u, RunAndWait(Quoted(g_probe32) + L" " + Quoted(dll32)));
    const Snapshot fromInf = ReadRegistration();
    RemoveRegistration();

    // The libraries register themselves where the INF put them: the 64-bit
    // one in this process, the 32-bit one by the 32-bit regsvr32. The paths
    // are the same, so every value must be.
    HMODULE library = LoadLibraryW(dll64.c_str());
    ASSERT_NE(library, nullptr) << GetLastError();
    auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllRegisterServer")));
    auto unregisterServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllUnregisterServer")));
    ASSERT_TRUE(registerServer && unregisterServer);
    ASSERT_EQ(S_OK, registerServer());
    ASSERT_EQ(0u, RunAndWait(regsvr32 + L" /s " + Quoted(dll32)));
    const Snapshot fromLibraries = ReadRegistration();

    for (const auto& [key, value] : fromLibraries.values) {
        const auto& [view, root, subkey, name] = key;
        const bool isPath = subkey.size() > 15 && subkey.substr(subkey.size() - 15) == L"\\InprocServer32" && name.empty();
        const RegistryValue& written = fromInf.values.at(key);
        EXPECT_TRUE(value.found) << (view == KEY_WOW64_32KEY ? "32-bit " : "64-bit ") << Narrow(subkey) << " " << Narrow(name);
        EXPECT_TRUE(SameValue(value, written, isPath))
            << (view == KEY_WOW64_32KEY ? "32-bit " : "64-bit ") << Narrow(subkey) << " " << Narrow(name) << ": library "
            << Narrow(Text(value)) << ", INF " << Narrow(Text(written));
    }
    // The views hold each its own library.
    const std::wstring server = ClassKey(IID_IQuelvixDSProxyConfig) + L"\\InprocServer32";
    EXPECT_EQ(0, _wcsicmp(dll64.c_str(), Text(fromInf.values.at({KEY_WOW64_64KEY, HKEY_CLASSES_ROOT, server, L""})).c_str()));
    EXPECT_EQ(0, _wcsicmp(dll32.c_str(), Text(fromInf.values.at({KEY_WOW64_32KEY, HKEY_CLASSES_ROOT, server, L""})).c_str()));

    // What INSTALL.txt says to run at uninstallation removes it all. The
    // MediaInterfaces and MediaSets keys are shared: the first library
    // removes them, and the second, finding them gone, still succeeds.
    EXPECT_EQ(0u, RunAndWait(regsvr32 + L" /s /u " + Quoted(dll32)));
    EXPECT_EQ(S_OK, unregisterServer());
    FreeLibrary(library);
    for (const auto& [key, value] : ReadRegistration().values) EXPECT_FALSE(value.found) << Narrow(std::get<2>(key));
    RemoveDriverStoreFolder();
}

// The device-relative sections (HKR) run against a scratch key standing in
// for the device's and the interface's keys.
TEST_F(Inf, DeviceAndInterfaceSectionsWriteTheProxyClassAndFriendlyName) {
    std::wstring interfaceSection;
    INFCONTEXT line;
    ASSERT_TRUE(SetupFindFirstLineW(inf_, (std::wstring(kInstall) + L".Interfaces").c_str(), L"AddInterface", &line));
    interfaceSection = Field(&line, 3);
    HKEY scratch = nullptr;
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratchKey);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kScratchKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &scratch, nullptr));
    ASSERT_TRUE(Install(interfaceSection, SPINST_REGISTRY, scratch));
    const RegistryValue clsid = ReadViewValue(0, scratch, L"", L"CLSID");
    const RegistryValue name = ReadViewValue(0, scratch, L"", L"FriendlyName");
    EXPECT_EQ(StringBytes(kKsProxyClsid), clsid.bytes);
    EXPECT_EQ(StringBytes(L"Quelvix Z51 USB Camera"), name.bytes);

    // The device's own HKR section: the rest of the install section's AddReg.
    for (const std::wstring& section : Fields(inf_, kInstall, L"AddReg")) {
        if (FirstField(inf_, section) != L"HKR") continue;
        AppendHarness(L"Quelvix.Test.Device", L"AddReg=" + section + L"\r\n");
        ASSERT_TRUE(Install(L"Quelvix.Test.Device", SPINST_REGISTRY, scratch));
        EXPECT_EQ(StringBytes(L"QuelvixZ51RDS.sys"), ReadViewValue(0, scratch, L"", L"NTMPDriver").bytes);
    }
    RegCloseKey(scratch);
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratchKey);
}

TEST_F(Inf, ServiceSectionMakesADemandStartKernelServiceRunFromTheDriverStore) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    if (SC_HANDLE old = OpenServiceW(manager, L"QuelvixZ51RDS", DELETE)) {
        DeleteService(old);
        CloseServiceHandle(old);
    }
    const std::wstring services = std::wstring(kInstall) + L".Services";
    ASSERT_TRUE(SetupInstallServicesFromInfSectionW(inf_, services.c_str(), 0)) << GetLastError();
    SC_HANDLE service = OpenServiceW(manager, L"QuelvixZ51RDS", SERVICE_QUERY_CONFIG | DELETE);
    ASSERT_NE(service, nullptr) << GetLastError();
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(service, config, needed, &needed));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_KERNEL_DRIVER), config->dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), config->dwStartType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->dwErrorControl);
    const std::wstring binary = config->lpBinaryPathName;
    const std::wstring expected = DriverStoreFolder() + L"\\QuelvixZ51RDS.sys";
    EXPECT_EQ(0, _wcsicmp(expected.c_str(), binary.c_str())) << Narrow(binary);
    EXPECT_EQ(L"Quelvix Z51 USB Camera (AVStream)", std::wstring(config->lpDisplayName));
    EXPECT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    testing::InitGoogleTest(&argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: inf_install_test PACKAGE_DIR HARDWARE_ID PROBE32 [gtest options]\n");
        return 2;
    }
    // gtest has taken its own options out of argv.
    auto widen = [](const char* text) {
        wchar_t buffer[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, MAX_PATH);
        return std::wstring(buffer);
    };
    g_package = widen(argv[1]);
    g_hardwareId = widen(argv[2]);
    g_probe32 = widen(argv[3]);
    return RUN_ALL_TESTS();
}
