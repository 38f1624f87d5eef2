// A store file on disk: read whole (refusing one beyond the size a store
// may have), and written atomically, so that a crash or kill leaves the old
// file or the new one, never a torn one.
#pragma once

#include <string>

namespace hostk {

// Reads `path` into `bytes`. A file that does not exist is no error: then
// `exists` is false. False with one line in `error` naming the file when it
// cannot be read or is larger than kRegistryStoreMaxBytes.
bool ReadWholeFile(const std::string& path, std::string* bytes, bool* exists, std::string* error);
// Replaces `path` with `text`. False with one line in `error` naming the
// file and the step that failed; the old file is then untouched.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error);

}  // namespace hostk
