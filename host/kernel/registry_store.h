// The registry behind the host's Zw* calls: a tree of keys and values that
// lives in memory or in one file in the registry export format (reg_file.h).
//
// A file-backed store is read once when opened and written back whenever the
// last open key handle on it is closed after a change (the way the system
// writes a hive back lazily, after the driver has let go of its keys), and on
// Flush. Every save is atomic: the new text goes to a temporary file beside
// the store, is synced, and is renamed over the old one, so a crash or kill
// leaves the old file or the new one, never a torn one. A file that cannot be
// read or parsed is never opened, so it can never be overwritten.
//
// A file-backed store is locked against other processes for as long as it is
// open (registry_lock.h): two runs that each load, change and save the same
// file would otherwise undo each other's changes without a word.
//
// A store named by a symbolic link lives in the file the link leads to: it
// is read, locked and saved there, and the link stays. A save keeps the
// file's mode and, where the caller may set them, its owner and group. A
// file that could not be saved (read-only, another's, in a directory the
// caller may not write) is refused when opened, as Windows refuses to write
// a read-only hive, and so is an empty file name.
//
// The store holds only what its file can state: keys at most 512 levels below
// their root key, names within the registry's lengths and free of NULs and
// line breaks (reg_file.h). Loading a file costs O(n log n) in its keys and
// values, and a file may hold at most kRegistryStoreMaxBytes.
//
// Paths are full key paths from the root key ("HKEY_LOCAL_MACHINE\SYSTEM\...");
// key and value names compare without regard to ASCII case.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel/pnp_binding.h"
#include "host/kernel/reg_file.h"
#include "host/kernel/registry.h"
#include "host/kernel/registry_faults.h"
#include "host/kernel/registry_lock.h"

namespace hostk {

// Pool tag of the key handle objects: an unclosed handle is a pool leak.
constexpr ULONG kRegistryKeyTag = 0x5265674B;  // 'RegK'

// The largest store file read or written: 64 MiB.
constexpr size_t kRegistryStoreMaxBytes = size_t{64} << 20;

// How long Open waits by default for another process to let go of a store.
constexpr int kRegistryLockWaitMs = 10000;

// Key and value names compared so far by every store's lookups, so that tests
// can see lookups cost O(log n) comparisons.
size_t RegistryNameComparisons();

class RegistryStore {
public:
    // A store in memory only; nothing is ever written.
    RegistryStore();
    // Locks `path` (waiting up to `lockWaitMs` for another holder) and reads
    // it; a file that does not exist yet is an empty store that the first
    // save creates. Null with one line in `error` naming the file when it is
    // still locked, cannot be read or written, is too large or is not a
    // registry export file, or when `path` is empty.
    static std::unique_ptr<RegistryStore> Open(const std::string& path, std::string* error,
                                               int lockWaitMs = kRegistryLockWaitMs);
    // A store in memory only, loaded from the text of a store file exactly
    // as Open loads the file's bytes. Null with "line N: ..." in `error` when
    // Open would refuse the file. (The fuzz target loads through this.)
    static std::unique_ptr<RegistryStore> FromText(const std::string& bytes, std::string* error);
    // Saves what is unsaved, then reports a violation if key handles are
    // still open (their owner forgot ZwClose).
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    const std::string& Path() const { return path_; }
    // Writes the file now if anything changed since the last save. True when
    // nothing needed saving or the save worked; otherwise false with `error`.
    bool Flush(std::string* error = nullptr);
    // The message of the latest failed save ("" after a good one), for
    // callers of the lazy saves, which have nobody to report to.
    std::string LastSaveError() const;
    bool Unsaved() const;
    size_t OpenHandles() const;

    // Direct access for tests and tools. SetValue creates missing keys. Both
    // refuse (false) a path or name the store file could not hold.
    bool CreateKey(const std::string& path);
    bool KeyExists(const std::string& path) const;
    bool SetValue(const std::string& path, const std::string& name, uint32_t type, const std::vector<uint8_t>& data);
    bool SetDword(const std::string& path, const std::string& name, uint32_t value);
    bool GetValue(const std::string& path, const std::string& name, RegFileValue* value) const;
    // The value only if it is a REG_DWORD of four bytes.
    bool GetDword(const std::string& path, const std::string& name, uint32_t* value) const;
    std::vector<RegFileValue> Values(const std::string& path) const;
    // The whole store as file text.
    std::string Text() const;

    struct Node;  // one key (registry_key_tree.h)

private:
    friend struct RegistryAccess;

    explicit RegistryStore(std::string path);
    Node* Find(const std::string& path) const;
    Node* Create(const std::string& path);
    std::vector<RegFileKey> Export() const;
    bool LoadText(std::string bytes, std::string* error);
    bool SaveLocked(std::string* error);

    RegistryLock fileLock_;  // first in, last out: held until the final save is done
    mutable std::mutex lock_;
    std::unique_ptr<Node> root_;
    std::string path_;  // as the caller named it
    std::string file_;  // where it lives: path_ with its links followed
    bool unsaved_ = false;
    size_t openHandles_ = 0;
    std::string lastSaveError_;
};

}  // namespace hostk
