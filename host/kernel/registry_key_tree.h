// The key tree inside a RegistryStore: one Node per key with its values and
// subkeys, and the walks over it that the store (registry_store.cpp) and the
// kernel calls (registry.cpp) share. Every function here runs with the
// store's lock held by its caller.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel/registry_store.h"

namespace hostk {

// Orders folded names and counts each comparison (RegistryNameComparisons).
struct CountedLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

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
    ~Node();
};

using RegistryNode = RegistryStore::Node;

std::vector<std::string> SplitPath(const std::string& path);
RegistryNode* ChildOf(const RegistryNode* node, const std::string& name);
RegistryNode* AddChild(RegistryNode* node, const std::string& name);
void RemoveChild(RegistryNode* node, const std::string& name);
RegFileValue* ValueOf(RegistryNode* node, const std::string& name);
// Sets a value, keeping the position of one that exists.
void PutValue(RegistryNode* node, RegFileValue value);
// The keys a store file lists for the tree below `root`.
std::vector<RegFileKey> ExportTree(const RegistryNode* root);

// What the Zw* calls need of a store's insides.
struct RegistryAccess {
    static std::mutex& Lock(RegistryStore* store) { return store->lock_; }
    static RegistryNode* Root(RegistryStore* store) { return store->root_.get(); }
    static RegistryNode* FindLocked(RegistryStore* store, const std::string& path) { return store->Find(path); }
    static void Touch(RegistryStore* store) { store->unsaved_ = true; }
    static void HandleOpened(RegistryStore* store) { ++store->openHandles_; }
    // Called with the store's lock held: the last handle gone after a change
    // is the moment to write the file.
    static void HandleClosed(RegistryStore* store) {
        --store->openHandles_;
        if (store->openHandles_ == 0 && store->unsaved_ && !store->path_.empty()) store->SaveLocked(nullptr);
    }
};

}  // namespace hostk
