// The --flash file's I/O.
//
// The lock is an flock on the file the name points to, held through an open
// descriptor for as long as the simulator runs. A store renames a new file
// over the name, which leaves the lock on the old inode, so the lock moves
// with the name: the new file is locked before the rename and the old one's
// descriptor is closed only after it. A starting simulator that opened the
// old file just before a rename may then get its lock; it therefore checks,
// after locking, that the name still points at the file it locked, and
// otherwise opens the name again (and meets the owner's lock on the new file).
// Unlike a FILE.lock beside it, this leaves no second file behind, and an
// existing file is locked without write access to its directory (a store
// still needs it). Unlike a lock on the directory, it lets two simulators
// keep two flash files in one directory.
#include "sim/flash_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

namespace velkarin::sim {
namespace {

using transport::UniqueFd;

// A name that keeps moving while we lock it is given up on after this many
// rounds; each round loses only to a concurrent store or creation.
constexpr int kOpenRounds = 16;

std::string errno_text() { return std::strerror(errno); }

const char* not_regular(mode_t mode) {
    if (S_ISDIR(mode)) return "is a directory";
    if (S_ISFIFO(mode)) return "is a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device";
    return "is not a regular file";
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// At most `max_bytes` + 1 bytes: one more than the bound tells a file that
// grew past it since fstat.
std::expected<std::string, std::string> read_bounded(int fd, std::size_t max_bytes) {
    std::string text;
    char buf[4096];
    while (text.size() <= max_bytes) {
        const auto want = std::min(sizeof buf, max_bytes + 1 - text.size());
        const ssize_t n = ::read(fd, buf, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected("cannot read: " + errno_text());
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;  // no progress and no reason given
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string directory_of(const std::string& path) {
    const auto dir = std::filesystem::path(path).parent_path();
    return dir.empty() ? "." : dir.string();
}

}  // namespace

std::expected<FlashFile, std::string> FlashFile::open(std::string path, std::size_t max_bytes) {
    auto fail = [&](const std::string& why) { return std::unexpected(path + ": " + why); };
    for (int round = 0; round < kOpenRounds; ++round) {
        // O_NONBLOCK: opening a FIFO must not wait for a writer. O_NOFOLLOW:
        // a store would replace a symbolic link by a file, not the file it
        // points to. O_NOCTTY: a terminal given by mistake does not become
        // the controlling one.
        UniqueFd fd(
            ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid() && errno == ENOENT) {
            // O_EXCL: of two simulators creating it at once one gets EEXIST
            // and opens the other's file in the next round.
            fd.reset(
                ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
            if (!fd.valid() && errno == EEXIST) continue;
            if (!fd.valid()) return fail("cannot create it: " + errno_text());
        }
        if (!fd.valid() && errno == ELOOP)
            return fail("is a symbolic link: give the file it points to");
        if (!fd.valid()) return fail(errno_text());

        struct stat opened{};
        if (::fstat(fd.get(), &opened) != 0) return fail(errno_text());
        if (!S_ISREG(opened.st_mode)) return fail(not_regular(opened.st_mode));
        const auto too_large = "is larger than a flash file for these motors can be (" +
                               std::to_string(max_bytes) + " bytes)";
        if (static_cast<std::uintmax_t>(opened.st_size) > max_bytes) return fail(too_large);
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) return fail("in use: another process holds its lock");
            return fail("cannot lock it: " + errno_text());
        }
        struct stat named{};
        if (::lstat(path.c_str(), &named) != 0 || !same_file(named, opened)) continue;

        auto text = read_bounded(fd.get(), max_bytes);
        if (!text) return fail(text.error());
        if (text->size() > max_bytes) return fail(too_large);  // it grew since fstat
        return FlashFile(std::move(path), std::move(fd), std::move(*text));
    }
    return fail("is being replaced all the time; not taken");
}

std::expected<void, StoreError> FlashFile::store(std::string_view text) {
    std::string temp = path_ + ".XXXXXX";
    auto fail = [&](const char* what, bool replaced) {
        return std::unexpected(StoreError{
            "cannot store the flash in " + path_ + ": " + what + ": " + errno_text(), replaced});
    };
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.valid()) return fail("cannot create a file beside it", false);
    // Until the rename a failure leaves the old file as the flash.
    auto undo = [&](const char* what) {
        const int e = errno;
        ::unlink(temp.c_str());
        errno = e;
        return fail(what, false);
    };
    struct stat held{};
    if (::fstat(held_.get(), &held) != 0) return undo("fstat");
    // Locked before it takes the name: the name never points at an unlocked file.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return undo("flock");
    // mkostemp creates 0600; the flash keeps the permissions it had.
    if (::fchmod(fd.get(), held.st_mode & 07777) != 0) return undo("fchmod");
    if (!write_all(fd.get(), text)) return undo("write");
    if (::fsync(fd.get()) != 0) return undo("fsync");
    if (::rename(temp.c_str(), path_.c_str()) != 0) return undo("rename");
    held_ = std::move(fd);  // closing the old file's descriptor lets its lock go

    // The rename lasts through a power cut once the directory is synced.
    UniqueFd dir(::open(directory_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid() || ::fsync(dir.get()) != 0) return fail("cannot sync its directory", true);
    return {};
}

}  // namespace velkarin::sim
