#include "registry_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>

#include "irql.h"
#include "pool.h"
#include "violations.h"

namespace hostk {

namespace {

std::atomic<size_t> g_nameComparisons{0};

// Names compare without regard to ASCII case: each is kept under its folded
// form, and the ordered maps below look names up in O(log n) comparisons
// (a key with 40,000 subkeys must not be scanned per lookup).
std::string Folded(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

struct CountedLess {
    bool operator()(const std::string& a, const std::string& b) const {
        g_nameComparisons.fetch_add(1, std::memory_order_relaxed);
        return a < b;
    }
};

}  // namespace

struct RegistryStore::Node {
    std::string name;  // as first written
    Node* parent = nullptr;
    size_t depth = 0;  // the root of all is 0, a root key such as HKEY_USERS 1
    // Values in the order they were first set, which a save keeps.
    std::vector<RegFileValue> values;
    std::map<std::string, size_t, CountedLess> valueIndex;  // folded name -> position
    // Subkeys by folded name, so that a save lists them sorted.
    std::map<std::string, std::unique_ptr<Node>, CountedLess> children;

    Node() = default;
    // Frees the subtree one node at a time: recursion as deep as the tree
    // would let a deep file decide the stack.
    ~Node() {
        std::vector<std::unique_ptr<Node>> pending;
        for (auto& child : children) pending.push_back(std::move(child.second));
        children.clear();
        while (!pending.empty()) {
            std::unique_ptr<Node> node = std::move(pending.back());
            pending.pop_back();
            for (auto& child : node->children) pending.push_back(std::move(child.second));
            node->children.clear();
        }
    }
};

namespace {

using Node = RegistryStore::Node;

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t slash = path.find('\\', start);
        parts.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return parts;
        start = slash + 1;
    }
}

Node* ChildOf(const Node* node, const std::string& name) {
    auto it = node->children.find(Folded(name));
    return it == node->children.end() ? nullptr : it->second.get();
}

Node* AddChild(Node* node, const std::string& name) {
    std::unique_ptr<Node>& slot = node->children[Folded(name)];
    slot = std::make_unique<Node>();
    slot->name = name;
    slot->parent = node;
    slot->depth = node->depth + 1;
    return slot.get();
}

void RemoveChild(Node* node, const std::string& name) { node->children.erase(Folded(name)); }

RegFileValue* ValueOf(Node* node, const std::string& name) {
    auto it = node->valueIndex.find(Folded(name));
    return it == node->valueIndex.end() ? nullptr : &node->values[it->second];
}

// Sets a value, keeping the position of one that exists.
void PutValue(Node* node, RegFileValue value) {
    auto inserted = node->valueIndex.emplace(Folded(value.name), node->values.size());
    if (inserted.second) {
        node->values.push_back(std::move(value));
    } else {
        RegFileValue& existing = node->values[inserted.first->second];
        existing.type = value.type;
        existing.data = std::move(value.data);
    }
}

// The file export lists each key that holds values or has no subkeys; the
// keys between them are implied by the paths, as on import. A root key is
// listed only for values of its own. The walk keeps its own stack, so a
// deep tree costs heap, not call stack.
std::vector<RegFileKey> ExportTree(const Node* root) {
    std::vector<RegFileKey> keys;
    struct Visit {
        const Node* node;
        std::string path;
    };
    std::vector<Visit> pending;
    for (auto it = root->children.rbegin(); it != root->children.rend(); ++it) {
        pending.push_back(Visit{it->second.get(), it->second->name});
    }
    while (!pending.empty()) {
        Visit visit = std::move(pending.back());
        pending.pop_back();
        const Node* node = visit.node;
        if (!node->values.empty() || (node->depth >= 2 && node->children.empty())) {
            keys.push_back(RegFileKey{visit.path, node->values});
        }
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
            pending.push_back(Visit{it->second.get(), visit.path + "\\" + it->second->name});
        }
    }
    return keys;
}

// ---- faults ----------------------------------------------------------------

struct CallFault {
    RegistryCall call;
    NTSTATUS status;
    size_t countdown;  // 0: every matching call
    std::string name;
};

struct Faults {
    std::mutex lock;
    std::vector<CallFault> calls;
    bool saveArmed = false;
    SaveStep saveStep = SaveStep::WriteTemporary;
};

Faults& TheFaults() {
    static Faults* faults = new Faults;
    return *faults;
}

bool InjectedFailure(RegistryCall call, const std::string& name, NTSTATUS* status) {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> hold(faults.lock);
    for (auto it = faults.calls.begin(); it != faults.calls.end(); ++it) {
        if (it->call != call || (!it->name.empty() && !SameName(it->name, name))) continue;
        if (it->countdown == 0) {
            *status = it->status;
            return true;
        }
        if (--it->countdown == 0) {
            *status = it->status;
            faults.calls.erase(it);
            return true;
        }
    }
    return false;
}

bool SaveFails(SaveStep step) {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> hold(faults.lock);
    if (!faults.saveArmed || faults.saveStep != step) return false;
    faults.saveArmed = false;
    return true;
}

// ---- the file --------------------------------------------------------------

bool ReadWholeFile(const std::string& path, std::string* bytes, bool* exists, std::string* error) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            *exists = false;
            return true;
        }
        *error = path + ": cannot be read (" + std::strerror(errno ? errno : EIO) + ")";
        return false;
    }
    *exists = true;
    // A store file is small; one beyond the cap is refused before it is
    // read rather than loaded into memory on trust.
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size > static_cast<std::streamoff>(kRegistryStoreMaxBytes)) {
        *error = path + ": is " + std::to_string(size) + " bytes; a registry store file may hold at most " +
                 std::to_string(kRegistryStoreMaxBytes >> 20) + " MiB";
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        *error = path + ": cannot be read";
        return false;
    }
    *bytes = content.str();
    return true;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The new text goes to a temporary file in the same directory (so that the
// rename stays on one file system), reaches the disk, and only then replaces
// the old file in one rename; the directory is synced so the rename itself
// survives a power cut. The temporary name carries the process id, so two
// processes saving at once cannot write into each other's file.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
    std::string temporary = path + ".saving-" + std::to_string(::getpid());
    auto fail = [&](const char* what, int fd) {
        int code = errno ? errno : EIO;
        if (fd >= 0) ::close(fd);
        ::unlink(temporary.c_str());
        *error = path + ": cannot be saved: " + what + " failed (" + std::strerror(code) + ")";
        return false;
    };
    errno = 0;
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return fail("creating the temporary file", -1);
    if (SaveFails(SaveStep::WriteTemporary)) {
        errno = ENOSPC;
        return fail("writing the temporary file", fd);
    }
    if (!WriteAll(fd, text)) return fail("writing the temporary file", fd);
    if (SaveFails(SaveStep::SyncTemporary)) {
        errno = EIO;
        return fail("syncing the temporary file", fd);
    }
    if (::fsync(fd) != 0) return fail("syncing the temporary file", fd);
    if (::close(fd) != 0) return fail("closing the temporary file", -1);
    if (SaveFails(SaveStep::Rename)) {
        errno = EIO;
        return fail("renaming the temporary file", -1);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) return fail("renaming the temporary file", -1);
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

// ---- device bindings -------------------------------------------------------

struct Binding {
    RegistryStore* store;
    std::string driverKey;
    unsigned instance;
};

std::mutex g_bindingLock;
std::map<PDEVICE_OBJECT, Binding>& Bindings() {
    static auto* bindings = new std::map<PDEVICE_OBJECT, Binding>;
    return *bindings;
}

}  // namespace

// What the Zw* calls need of a store's insides.
struct RegistryAccess {
    static std::mutex& Lock(RegistryStore* store) { return store->lock_; }
    static Node* Root(RegistryStore* store) { return store->root_.get(); }
    static Node* FindLocked(RegistryStore* store, const std::string& path) { return store->Find(path); }
    static void Touch(RegistryStore* store) { store->unsaved_ = true; }
    static void HandleOpened(RegistryStore* store) { ++store->openHandles_; }
    // Called with the store's lock held: the last handle gone after a change
    // is the moment to write the file.
    static void HandleClosed(RegistryStore* store) {
        --store->openHandles_;
        if (store->openHandles_ == 0 && store->unsaved_ && !store->path_.empty()) store->SaveLocked(nullptr);
    }
};

RegistryStore::RegistryStore() : root_(std::make_unique<Node>()) {}

RegistryStore::RegistryStore(std::string path) : root_(std::make_unique<Node>()), path_(std::move(path)) {}

size_t RegistryNameComparisons() { return g_nameComparisons.load(std::memory_order_relaxed); }

std::unique_ptr<RegistryStore> RegistryStore::Open(const std::string& path, std::string* error, int lockWaitMs) {
    // Only a regular file (or none yet) is a store; checked first, so that
    // no lock file is made beside a directory or a device.
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        *error = path + ": cannot be read (not a regular file)";
        return nullptr;
    }
    std::unique_ptr<RegistryStore> store(new RegistryStore(path));
    // Locked before it is read: what is loaded stays what is on disk until
    // this store saves it.
    if (!store->fileLock_.Acquire(path, lockWaitMs, error)) return nullptr;
    std::string bytes;
    bool exists = false;
    if (!ReadWholeFile(path, &bytes, &exists, error)) return nullptr;
    if (!exists) return store;
    std::string why;
    if (!store->LoadText(std::move(bytes), &why)) {
        *error = path + ": not a registry store file: " + why;
        return nullptr;
    }
    return store;
}

std::unique_ptr<RegistryStore> RegistryStore::FromText(const std::string& bytes, std::string* error) {
    std::unique_ptr<RegistryStore> store(new RegistryStore());
    if (!store->LoadText(bytes, error)) return nullptr;
    return store;
}

bool RegistryStore::LoadText(std::string bytes, std::string* error) {
    std::vector<RegFileKey> keys;
    if (!ParseRegFile(bytes, &keys, error)) return false;
    // A file may be 64 MiB: its text goes before the tree is built.
    std::string().swap(bytes);
    for (RegFileKey& key : keys) {
        Node* node = Create(key.path);
        for (RegFileValue& value : key.values) PutValue(node, std::move(value));
    }
    unsaved_ = false;
    return true;
}

RegistryStore::~RegistryStore() {
    std::lock_guard<std::mutex> hold(lock_);
    if (unsaved_ && !path_.empty()) SaveLocked(nullptr);
    if (openHandles_ != 0) {
        ReportViolation("registry store %s destroyed with %zu key handles open", path_.empty() ? "(memory)" : path_.c_str(),
                        openHandles_);
    }
}

bool RegistryStore::SaveLocked(std::string* error) {
    std::string why;
    std::string text = FormatRegFile(Export());
    if (text.size() > kRegistryStoreMaxBytes) {
        // Written, it would be a file the next run refuses.
        why = path_ + ": cannot be saved: it would be " + std::to_string(text.size()) +
              " bytes, more than the " + std::to_string(kRegistryStoreMaxBytes >> 20) + " MiB a store file may hold";
        lastSaveError_ = why;
        if (error) *error = why;
        return false;
    }
    if (!WriteFileAtomically(path_, text, &why)) {
        lastSaveError_ = why;
        if (error) *error = why;
        return false;
    }
    unsaved_ = false;
    lastSaveError_.clear();
    return true;
}

bool RegistryStore::Flush(std::string* error) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!unsaved_ || path_.empty()) return true;
    return SaveLocked(error);
}

std::string RegistryStore::LastSaveError() const {
    std::lock_guard<std::mutex> hold(lock_);
    return lastSaveError_;
}

bool RegistryStore::Unsaved() const {
    std::lock_guard<std::mutex> hold(lock_);
    return unsaved_;
}

size_t RegistryStore::OpenHandles() const {
    std::lock_guard<std::mutex> hold(lock_);
    return openHandles_;
}

RegistryStore::Node* RegistryStore::Find(const std::string& path) const {
    Node* node = root_.get();
    for (const std::string& part : SplitPath(path)) {
        node = ChildOf(node, part);
        if (!node) return nullptr;
    }
    return node;
}

RegistryStore::Node* RegistryStore::Create(const std::string& path) {
    Node* node = root_.get();
    for (const std::string& part : SplitPath(path)) {
        Node* child = ChildOf(node, part);
        if (!child) {
            child = AddChild(node, part);
            unsaved_ = true;
        }
        node = child;
    }
    return node;
}

bool RegistryStore::CreateKey(const std::string& path) {
    std::string why;
    if (!CheckKeyPath(path, &why)) return false;
    std::lock_guard<std::mutex> hold(lock_);
    Create(path);
    return true;
}

bool RegistryStore::KeyExists(const std::string& path) const {
    std::lock_guard<std::mutex> hold(lock_);
    return Find(path) != nullptr;
}

bool RegistryStore::SetValue(const std::string& path, const std::string& name, uint32_t type,
                             const std::vector<uint8_t>& data) {
    std::string why;
    if (!CheckKeyPath(path, &why) || !CheckValueName(name, &why)) return false;
    std::lock_guard<std::mutex> hold(lock_);
    PutValue(Create(path), RegFileValue{name, type, data});
    unsaved_ = true;
    return true;
}

bool RegistryStore::SetDword(const std::string& path, const std::string& name, uint32_t value) {
    return SetValue(path, name, REG_DWORD,
             {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
              static_cast<uint8_t>(value >> 24)});
}

bool RegistryStore::GetValue(const std::string& path, const std::string& name, RegFileValue* value) const {
    std::lock_guard<std::mutex> hold(lock_);
    Node* node = Find(path);
    RegFileValue* found = node ? ValueOf(node, name) : nullptr;
    if (!found) return false;
    *value = *found;
    return true;
}

bool RegistryStore::GetDword(const std::string& path, const std::string& name, uint32_t* value) const {
    RegFileValue found;
    if (!GetValue(path, name, &found) || found.type != REG_DWORD || found.data.size() != 4) return false;
    *value = static_cast<uint32_t>(found.data[0]) | (static_cast<uint32_t>(found.data[1]) << 8) |
             (static_cast<uint32_t>(found.data[2]) << 16) | (static_cast<uint32_t>(found.data[3]) << 24);
    return true;
}

std::vector<RegFileValue> RegistryStore::Values(const std::string& path) const {
    std::lock_guard<std::mutex> hold(lock_);
    Node* node = Find(path);
    return node ? node->values : std::vector<RegFileValue>{};
}

std::vector<RegFileKey> RegistryStore::Export() const {
    return ExportTree(root_.get());
}

std::string RegistryStore::Text() const {
    std::lock_guard<std::mutex> hold(lock_);
    return FormatRegFile(Export());
}

std::string BindDeviceRegistry(PDEVICE_OBJECT physicalDeviceObject, RegistryStore* store) {
    std::lock_guard<std::mutex> hold(g_bindingLock);
    auto& bindings = Bindings();
    unsigned instance = 0;
    for (bool taken = true; taken; ) {
        taken = false;
        for (const auto& entry : bindings) {
            if (entry.second.store == store && entry.second.instance == instance) taken = true;
        }
        if (taken) ++instance;
    }
    char number[16];
    std::snprintf(number, sizeof number, "\\%04u", instance);
    std::string driverKey = std::string(kImageClassKey) + number;
    bindings[physicalDeviceObject] = Binding{store, driverKey, instance};
    store->CreateKey(driverKey);
    return driverKey;
}

void UnbindDeviceRegistry(PDEVICE_OBJECT physicalDeviceObject) {
    std::lock_guard<std::mutex> hold(g_bindingLock);
    Bindings().erase(physicalDeviceObject);
}

void RegistryFailCall(RegistryCall call, NTSTATUS status, size_t nth, const std::string& name) {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> hold(faults.lock);
    faults.calls.push_back(CallFault{call, status, nth, name});
}

void RegistryFailNextSave(SaveStep step) {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> hold(faults.lock);
    faults.saveArmed = true;
    faults.saveStep = step;
}

void RegistryResetFaults() {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> hold(faults.lock);
    faults.calls.clear();
    faults.saveArmed = false;
}

}  // namespace hostk

// ---- the kernel calls -------------------------------------------------------

namespace {

using hostk::RegistryAccess;
using hostk::RegistryStore;
using Node = RegistryStore::Node;

// A key handle: what ZwClose and the value calls find behind the HANDLE.
struct KeyHandle {
    hostk::HandleObject handle;  // first: the HANDLE points here
    RegistryStore* store;
    Node* node;  // keys are never deleted, so the node outlives the handle
    ACCESS_MASK access;
};

NTSTATUS CloseKeyHandle(hostk::HandleObject* object) {
    auto* key = reinterpret_cast<KeyHandle*>(object);
    {
        std::lock_guard<std::mutex> hold(RegistryAccess::Lock(key->store));
        RegistryAccess::HandleClosed(key->store);
    }
    ExFreePoolWithTag(key, hostk::kRegistryKeyTag);
    return STATUS_SUCCESS;
}

KeyHandle* KeyFromHandle(HANDLE handle) {
    auto* object = static_cast<hostk::HandleObject*>(handle);
    if (!object || object->kind != hostk::kHandleRegistryKey) return nullptr;
    return reinterpret_cast<KeyHandle*>(object);
}

// Called with the store's lock held.
NTSTATUS NewHandle(RegistryStore* store, Node* node, ACCESS_MASK access, PHANDLE result) {
    auto* key = static_cast<KeyHandle*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KeyHandle), hostk::kRegistryKeyTag));
    if (!key) return STATUS_INSUFFICIENT_RESOURCES;
    key->handle.kind = hostk::kHandleRegistryKey;
    key->handle.close = CloseKeyHandle;
    key->store = store;
    key->node = node;
    key->access = access;
    RegistryAccess::HandleOpened(store);
    *result = &key->handle;
    return STATUS_SUCCESS;
}

bool ValidString(PCUNICODE_STRING text) {
    return text && text->Length % 2 == 0 && text->Length <= text->MaximumLength && (text->Buffer || text->Length == 0);
}

std::string NameOf(PCUNICODE_STRING text) {
    return hostk::Utf16ToUtf8(text->Buffer, text->Length / 2);
}

// A key name longer than Windows allows (255 characters) is refused, as
// Windows refuses it; one holding a NUL or a line break, which Windows would
// take from a counted string, is refused too, because the store file could
// not state it and the next load would refuse the whole file. Both answer
// STATUS_INVALID_PARAMETER here (the status is the stand-in's choice).
bool StorableKeyName(const std::string& name) {
    std::string why;
    return hostk::CheckKeyPath("HKEY_LOCAL_MACHINE\\" + name, &why);
}

void RequirePassive(const char* call) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        hostk::ReportViolation("%s called at IRQL %d; the registry is PASSIVE_LEVEL only", call, KeGetCurrentIrql());
    }
}

}  // namespace

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG devInstKeyType, ACCESS_MASK desiredAccess,
                                 PHANDLE devInstRegKey) {
    RequirePassive("IoOpenDeviceRegistryKey");
    if (!devInstRegKey) return STATUS_INVALID_PARAMETER;
    if (devInstKeyType != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;
    RegistryStore* store = nullptr;
    std::string driverKey;
    {
        std::lock_guard<std::mutex> hold(hostk::g_bindingLock);
        auto it = hostk::Bindings().find(deviceObject);
        if (it == hostk::Bindings().end()) return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO of ours
        store = it->second.store;
        driverKey = it->second.driverKey;
    }
    NTSTATUS injected;
    if (hostk::InjectedFailure(hostk::RegistryCall::OpenDeviceKey, "", &injected)) return injected;
    std::lock_guard<std::mutex> hold(RegistryAccess::Lock(store));
    Node* node = RegistryAccess::FindLocked(store, driverKey);
    if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
    return NewHandle(store, node, desiredAccess, devInstRegKey);
}

NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes, ULONG,
                     PUNICODE_STRING, ULONG createOptions, PULONG disposition) {
    RequirePassive("ZwCreateKey");
    if (!keyHandle || !objectAttributes) return STATUS_INVALID_PARAMETER;
    if (!objectAttributes->ObjectName) return STATUS_OBJECT_NAME_INVALID;
    if (!ValidString(objectAttributes->ObjectName)) return STATUS_INVALID_PARAMETER;
    // Volatile keys would need a second, unsaved kind of key; nothing here
    // creates one, so the option is refused rather than quietly persisted.
    if (createOptions != REG_OPTION_NON_VOLATILE) return STATUS_INVALID_PARAMETER;
    std::string name = NameOf(objectAttributes->ObjectName);

    RegistryStore* store;
    Node* start;
    std::string relative;
    if (objectAttributes->RootDirectory) {
        KeyHandle* root = KeyFromHandle(objectAttributes->RootDirectory);
        if (!root) return STATUS_INVALID_HANDLE;
        // A name below a key handle is relative; a leading backslash would
        // make it absolute, which the object manager refuses.
        if (!name.empty() && name[0] == '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        store = root->store;
        start = root->node;
        relative = name;
    } else {
        // Absolute names are only reachable through a bound device's store;
        // the driver never uses them, so they are not offered.
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    if (relative.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::vector<std::string> parts = hostk::SplitPath(relative);
    for (const std::string& part : parts) {
        if (part.empty()) return STATUS_OBJECT_NAME_INVALID;
        if (!StorableKeyName(part)) return STATUS_INVALID_PARAMETER;
    }

    NTSTATUS injected;
    if (hostk::InjectedFailure(hostk::RegistryCall::CreateKey, name, &injected)) return injected;

    // Access to the key named relative to a handle is checked against that
    // key, not against the handle: a handle opened for reading only may
    // still be the root of a key opened for everything.
    std::lock_guard<std::mutex> hold(RegistryAccess::Lock(store));
    Node* node = start;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        node = hostk::ChildOf(node, parts[i]);
        if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;  // one level per call, as on Windows
    }
    Node* key = hostk::ChildOf(node, parts.back());
    ULONG how = REG_OPENED_EXISTING_KEY;
    bool created = false;
    // Windows stops a tree 512 levels below its root key; refusing the
    // same here (with the status the stand-in uses for every registry
    // limit) also keeps every key one the store file can state.
    if (!key && node->depth >= hostk::kMaxKeyDepth + 1) return STATUS_INVALID_PARAMETER;
    if (!key) {
        key = hostk::AddChild(node, parts.back());
        how = REG_CREATED_NEW_KEY;
        created = true;
    }
    NTSTATUS status = NewHandle(store, key, desiredAccess, keyHandle);
    if (!NT_SUCCESS(status)) {
        if (created) hostk::RemoveChild(node, parts.back());
        return status;
    }
    if (created) RegistryAccess::Touch(store);
    if (disposition) *disposition = how;
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                         KEY_VALUE_INFORMATION_CLASS keyValueInformationClass, PVOID keyValueInformation,
                         ULONG length, PULONG resultLength) {
    RequirePassive("ZwQueryValueKey");
    KeyHandle* key = KeyFromHandle(keyHandle);
    if (!key) return STATUS_INVALID_HANDLE;
    if (!(key->access & KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
    // The partial form is the one drivers read single values with; the
    // basic and full forms are not offered.
    if (keyValueInformationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
    if (!ValidString(valueName) || !resultLength || (length && !keyValueInformation)) return STATUS_INVALID_PARAMETER;
    std::string name = NameOf(valueName);
    NTSTATUS injected;
    if (hostk::InjectedFailure(hostk::RegistryCall::QueryValue, name, &injected)) return injected;

    std::lock_guard<std::mutex> hold(RegistryAccess::Lock(key->store));
    hostk::RegFileValue* value = hostk::ValueOf(key->node, name);
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG size = static_cast<ULONG>(value->data.size());
    *resultLength = header + size;
    if (length < header) return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(keyValueInformation);
    info->TitleIndex = 0;
    info->Type = value->type;
    info->DataLength = size;
    // Too small for the data: the fixed part is filled in and the caller
    // learns the size it needs, but no data is copied.
    if (length < header + size) return STATUS_BUFFER_OVERFLOW;
    if (size) std::memcpy(info->Data, value->data.data(), size);
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG, ULONG type, PVOID data, ULONG dataSize) {
    RequirePassive("ZwSetValueKey");
    KeyHandle* key = KeyFromHandle(keyHandle);
    if (!key) return STATUS_INVALID_HANDLE;
    if (!(key->access & KEY_SET_VALUE)) return STATUS_ACCESS_DENIED;
    if (!ValidString(valueName) || (dataSize && !data)) return STATUS_INVALID_PARAMETER;
    std::string name = NameOf(valueName);
    NTSTATUS injected;
    if (hostk::InjectedFailure(hostk::RegistryCall::SetValue, name, &injected)) return injected;

    // Value names: Windows' 16,383 characters, and no NUL or line break,
    // for the reason StorableKeyName gives.
    std::string why;
    if (!hostk::CheckValueName(name, &why)) return STATUS_INVALID_PARAMETER;

    std::lock_guard<std::mutex> hold(RegistryAccess::Lock(key->store));
    const auto* bytes = static_cast<const uint8_t*>(data);
    hostk::PutValue(key->node, hostk::RegFileValue{name, type, std::vector<uint8_t>(bytes, bytes + dataSize)});
    RegistryAccess::Touch(key->store);
    return STATUS_SUCCESS;
}
