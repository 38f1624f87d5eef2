// A store file on disk: found through any symbolic links, read whole
// (refusing one beyond the size a store may have), and written atomically,
// so that a crash or kill leaves the old file or the new one, never a torn
// one. A save replaces the file's content only: its mode, its owner (where
// the caller may set it) and the links that lead to it stay.
#pragma once

#include <string>

namespace hostk {

// The file a store named `path` lives in: `path` itself, or the file its
// symbolic links lead to (which need not exist yet), so that a save
// replaces the link's target and the link stays. False with one line in
// `error` when the links go round or cannot be read.
bool ResolveStoreFile(const std::string& path, std::string* file, std::string* error);
// Whether a save may replace `file`: false with one line in `error` when
// the file is read-only (no write bit in its mode, which is refused even
// to root, as Windows refuses to write a read-only hive), the caller may
// not write it, or the caller may not make files in its directory.
bool CheckStoreWritable(const std::string& file, std::string* error);

// Reads `path` into `bytes`. A file that does not exist is no error: then
// `exists` is false. False with one line in `error` naming the file when it
// cannot be read or is larger than kRegistryStoreMaxBytes.
bool ReadWholeFile(const std::string& path, std::string* bytes, bool* exists, std::string* error);
// Replaces `path` (a file, not a link: see ResolveStoreFile) with `text`,
// keeping the old file's mode and, where allowed, its owner and group.
// False with one line in `error` naming the file and the step that failed,
// or saying why it may not be written (CheckStoreWritable); the old file is
// then untouched.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error);

}  // namespace hostk
