#include "host/kernel/store_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "host/kernel/registry_faults.h"
#include "host/kernel/registry_store.h"

namespace hostk {

namespace {

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

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The new file takes the old one's owner and group where the caller may
// give them (root may; others may at most pick a group of their own), then
// its mode, which a change of owner may have cut.
bool KeepModeAndOwner(int fd, const struct stat& old) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        int ignored = ::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
        (void)ignored;
    }
    return ::fchmod(fd, old.st_mode & 07777) == 0;
}

// Symbolic links a path may pass through before it is taken for a loop, as
// the kernel's own limit.
constexpr int kMaxLinks = 40;

}  // namespace

bool ResolveStoreFile(const std::string& path, std::string* file, std::string* error) {
    std::string current = path;
    for (int links = 0; links <= kMaxLinks; ++links) {
        struct stat info;
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            // Not there (yet) or not a link: this is the file. What else
            // is wrong with it, the read or the save says.
            *file = current;
            return true;
        }
        char buffer[PATH_MAX];
        const ssize_t length = ::readlink(current.c_str(), buffer, sizeof buffer);
        if (length < 0 || static_cast<size_t>(length) >= sizeof buffer) {
            *error = path + ": cannot read the link " + current + " (" +
                     std::strerror(length < 0 ? errno : ENAMETOOLONG) + ")";
            return false;
        }
        const std::string target(buffer, static_cast<size_t>(length));
        // A relative target is relative to the link's own directory.
        const std::string directory = DirectoryOf(current);
        current = target[0] == '/' || directory == "." ? target : directory + "/" + target;
    }
    *error = path + ": cannot be read (" + std::strerror(ELOOP) + ")";
    return false;
}

bool CheckStoreWritable(const std::string& file, std::string* error) {
    struct stat info;
    if (::stat(file.c_str(), &info) == 0) {
        if ((info.st_mode & 0222) == 0) {
            *error = file + ": cannot be written (read-only, mode " + ModeText(info.st_mode) + ")";
            return false;
        }
        if (::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0) {
            *error = file + ": cannot be written (" + std::strerror(errno) + "; owner uid " +
                     std::to_string(info.st_uid) + ", mode " + ModeText(info.st_mode) + ")";
            return false;
        }
    } else if (errno != ENOENT) {
        *error = file + ": cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    // The save makes a temporary file beside it and renames it over it.
    const std::string directory = DirectoryOf(file);
    if (::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        *error = file + ": cannot be written (its directory " + directory + ": " + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

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

// The new text goes to a temporary file in the same directory (so that the
// rename stays on one file system), reaches the disk, and only then replaces
// the old file in one rename; the directory is synced so the rename itself
// survives a power cut. The temporary name carries the process id, so two
// processes saving at once cannot write into each other's file. The
// temporary file is the caller's alone until it has the old file's mode.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
    if (!CheckStoreWritable(path, error)) return false;
    struct stat old;
    const bool replacing = ::stat(path.c_str(), &old) == 0;
    std::string temporary = path + ".saving-" + std::to_string(::getpid());
    auto fail = [&](const char* what, int fd) {
        int code = errno ? errno : EIO;
        if (fd >= 0) ::close(fd);
        ::unlink(temporary.c_str());
        *error = path + ": cannot be saved: " + what + " failed (" + std::strerror(code) + ")";
        return false;
    };
    errno = 0;
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, replacing ? 0600 : 0644);
    if (fd < 0) return fail("creating the temporary file", -1);
    if (SaveFails(SaveStep::WriteTemporary)) {
        errno = ENOSPC;
        return fail("writing the temporary file", fd);
    }
    if (!WriteAll(fd, text)) return fail("writing the temporary file", fd);
    if (replacing && !KeepModeAndOwner(fd, old)) return fail("giving the temporary file the old one's mode", fd);
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
    int dirFd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

}  // namespace hostk
