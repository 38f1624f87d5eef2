#include "host/kernel/registry_store.h"

#include <sys/stat.h>

#include "host/kernel/registry_key_tree.h"
#include "host/kernel/store_file.h"
#include "host/kernel/violations.h"

namespace hostk {

RegistryStore::RegistryStore() : root_(std::make_unique<Node>()) {}

RegistryStore::RegistryStore(std::string path) : root_(std::make_unique<Node>()), path_(std::move(path)) {}

std::unique_ptr<RegistryStore> RegistryStore::Open(const std::string& path, std::string* error, int lockWaitMs) {
    // An empty name would be a store that is never saved, and the settings
    // would be lost without a word.
    if (path.empty()) {
        *error = "\"\": a registry store needs a file name";
        return nullptr;
    }
    std::string file;
    if (!ResolveStoreFile(path, &file, error)) return nullptr;
    // Only a regular file (or none yet) is a store; checked first, so that
    // no lock file is made beside a directory or a device.
    struct stat info;
    if (::stat(file.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        *error = path + ": cannot be read (not a regular file)";
        return nullptr;
    }
    // Every run saves what the driver wrote: a store that cannot be saved
    // is refused now, not after the work is done (and never replaced).
    if (!CheckStoreWritable(file, error)) return nullptr;
    std::unique_ptr<RegistryStore> store(new RegistryStore(path));
    store->file_ = file;
    // Locked before it is read: what is loaded stays what is on disk until
    // this store saves it. The lock goes with the file, whatever link
    // another run names it by.
    if (!store->fileLock_.Acquire(file, lockWaitMs, error)) return nullptr;
    std::string bytes;
    bool exists = false;
    if (!ReadWholeFile(file, &bytes, &exists, error)) return nullptr;
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
    if (!WriteFileAtomically(file_, text, &why)) {
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

}  // namespace hostk
