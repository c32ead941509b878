#include "settings/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

// As the kernel counts hops before ELOOP.
constexpr int kMaxLinkHops = 40;

std::string folderOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    if (slash == std::string::npos) return ".";
    return file.substr(0, slash == 0 ? 1 : slash);
}

// The path a chain of symbolic links ends at. Unlike realpath, a link whose target does not exist
// yet leads to that target, so that writing through it creates the file and keeps the link.
int followLinks(std::string path, std::string* target) {
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 && errno != ENOENT) return errno;
        if (!S_ISLNK(st.st_mode)) {  // a file, or nothing yet: the end of the chain
            *target = path;
            return 0;
        }
        std::vector<char> buffer(256);
        ssize_t n = 0;
        while ((n = ::readlink(path.c_str(), buffer.data(), buffer.size())) >= 0 &&
               static_cast<size_t>(n) == buffer.size()) {
            buffer.resize(buffer.size() * 2);
        }
        if (n < 0) return errno;
        std::string next(buffer.data(), static_cast<size_t>(n));
        // A relative target is relative to the folder holding the link.
        path = next.starts_with('/') ? next : folderOf(path) + "/" + next;
    }
    return ELOOP;
}

// Whether the effective user may replace this file. Root may write any file, but a file without
// a single write bit was made read-only on purpose and is left alone.
int mayWrite(const std::string& file, const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
    if (::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0) return errno;
    return 0;
}

int writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// The new file takes the old one's owner, group and mode. Only root may give a file away; anyone
// may give it a group they belong to. What cannot be set is left as the creator's.
int takeOwnerAndMode(int fd, const struct stat& old) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
        // Not permitted: the file belongs to whoever saves it.
    }
    // After fchown, which may clear the set-id bits.
    return ::fchmod(fd, old.st_mode & 07777) == 0 ? 0 : errno;
}

}  // namespace

int replaceFile(const std::string& path, const std::string& content, mode_t newFileMode) {
    std::string target;
    if (const int err = followLinks(path, &target)) return err;
    struct stat old {};
    const bool hadFile = ::stat(target.c_str(), &old) == 0;
    if (hadFile) {
        if (const int err = mayWrite(target, old)) return err;
    } else if (errno != ENOENT) {
        return errno;
    }

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temporary = target + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        // A file that replaces another is private until it has the other's owner and mode.
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, hadFile ? 0600 : newFileMode);
        if (fd < 0 && (errno != EEXIST || attempt >= 100)) return errno;
    }
    int err = hadFile ? takeOwnerAndMode(fd, old) : 0;
    if (err == 0) err = writeAll(fd, content);
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temporary.c_str());
        return err;
    }
    // The rename itself reaches the disk only with its folder.
    const int folder = ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return 0;
}

int readWholeFile(const std::string& path, std::string& content) {
    content.clear();
    // Non-blocking, so that a FIFO in the file's place cannot hang the program.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return err;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            content.clear();
            return err;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return 0;
}
