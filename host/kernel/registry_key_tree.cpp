#include "host/kernel/registry_key_tree.h"

#include <atomic>
#include <cctype>

namespace hostk {

namespace {

std::atomic<size_t> g_nameComparisons{0};

// Names compare without regard to ASCII case: each is kept under its folded
// form, and the ordered maps look names up in O(log n) comparisons (a key
// with 40,000 subkeys must not be scanned per lookup).
std::string Folded(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

}  // namespace

size_t RegistryNameComparisons() { return g_nameComparisons.load(std::memory_order_relaxed); }

bool CountedLess::operator()(const std::string& a, const std::string& b) const {
    g_nameComparisons.fetch_add(1, std::memory_order_relaxed);
    return a < b;
}

// Frees the subtree one node at a time: recursion as deep as the tree
// would let a deep file decide the stack.
RegistryStore::Node::~Node() {
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

RegistryNode* ChildOf(const RegistryNode* node, const std::string& name) {
    auto it = node->children.find(Folded(name));
    return it == node->children.end() ? nullptr : it->second.get();
}

RegistryNode* AddChild(RegistryNode* node, const std::string& name) {
    std::unique_ptr<RegistryNode>& slot = node->children[Folded(name)];
    slot = std::make_unique<RegistryNode>();
    slot->name = name;
    slot->parent = node;
    slot->depth = node->depth + 1;
    return slot.get();
}

void RemoveChild(RegistryNode* node, const std::string& name) { node->children.erase(Folded(name)); }

RegFileValue* ValueOf(RegistryNode* node, const std::string& name) {
    auto it = node->valueIndex.find(Folded(name));
    return it == node->valueIndex.end() ? nullptr : &node->values[it->second];
}

// Sets a value, keeping the position of one that exists.
void PutValue(RegistryNode* node, RegFileValue value) {
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
std::vector<RegFileKey> ExportTree(const RegistryNode* root) {
    std::vector<RegFileKey> keys;
    struct Visit {
        const RegistryNode* node;
        std::string path;
    };
    std::vector<Visit> pending;
    for (auto it = root->children.rbegin(); it != root->children.rend(); ++it) {
        pending.push_back(Visit{it->second.get(), it->second->name});
    }
    while (!pending.empty()) {
        Visit visit = std::move(pending.back());
        pending.pop_back();
        const RegistryNode* node = visit.node;
        if (!node->values.empty() || (node->depth >= 2 && node->children.empty())) {
            keys.push_back(RegFileKey{visit.path, node->values});
        }
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
            pending.push_back(Visit{it->second.get(), visit.path + "\\" + it->second->name});
        }
    }
    return keys;
}

}  // namespace hostk
