#include "image/save_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <system_error>
#include <vector>

#include "image/why_not.h"

namespace {

namespace fs = std::filesystem;

// Linux gives up on a chain of symbolic links after 40; so do we.
constexpr int kMaxLinkHops = 40;

std::string errorText(int error) {
    return std::generic_category().message(error);
}

// The file that writing to `path` would change: symbolic links in the last component are
// followed, link by link, also to a target that does not exist yet. Links in the folders
// above are left to the system, which follows them on every access anyway.
bool followLinks(const fs::path& path, fs::path& target, int& error) {
    target = path;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat info;
        // Anything that cannot be examined is treated as the file itself; creating or
        // opening it later reports the real reason.
        if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
        std::error_code readError;
        const fs::path link = fs::read_symlink(target, readError);
        if (readError) {
            error = readError.value();
            return false;
        }
        target = link.is_absolute() ? link : target.parent_path() / link;
    }
    error = ELOOP;
    return false;
}

// The process's file creation mask. The kernel reports it in /proc without changing it;
// only where that is missing is it read the classic way, by setting it and back.
mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0)
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
    }
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Closes a file descriptor when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, so that a failure to close is seen; false with errno then.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// What a signal that ends the process in the middle of a save must undo. Only the saver
// changes it and only a signal handler reads it, so it holds lock-free atomics and data
// that stay put while they are published.
struct PendingUndo {
    std::atomic<const char*> temporary{nullptr};  // a temporary file to remove
    std::atomic<int> rewritten{-1};               // a file being rewritten in place,
    const std::uint8_t* oldBytes = nullptr;       // and the bytes it held
    std::size_t oldSize = 0;
};
static_assert(std::atomic<const char*>::is_always_lock_free &&
              std::atomic<int>::is_always_lock_free);
PendingUndo pending;

// The signals whose handler undoes a save, and all that SaveSignalGuard changes.
constexpr int kGuardedSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kGuardChanges[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ};

sigset_t guardedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kGuardedSignals) sigaddset(&set, signal);
    return set;
}

// Holds the guarded signals off in this thread while a temporary file and its published
// name change together, so that a handler never finds one without the other.
class SignalsHeld {
public:
    SignalsHeld() {
        const sigset_t set = guardedSignals();
        pthread_sigmask(SIG_BLOCK, &set, &previous_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_;
};

// Writes `size` bytes from the start of the file, and puts back the file's old bytes
// and length. Both only make system calls that a signal handler may make.
bool writeFromStart(int fd, const std::uint8_t* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written = pwrite(fd, bytes + done, size - done, off_t(done));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        done += std::size_t(written);
    }
    return true;
}

bool putBack(int fd, const std::uint8_t* bytes, std::size_t size) {
    return writeFromStart(fd, bytes, size) && ftruncate(fd, off_t(size)) == 0 && fsync(fd) == 0;
}

void undoSaveAndEnd(int signal) {
    if (const char* temporary = pending.temporary.load()) unlink(temporary);
    if (const int fd = pending.rewritten.load(); fd >= 0)
        putBack(fd, pending.oldBytes, pending.oldSize);
    // The signal stays blocked while its handler runs; once this one returns, the
    // default action ends the process with the signal, as if no handler had been there.
    ::signal(signal, SIG_DFL);
    raise(signal);
}

// The test hook described with saveImageFile.
void holdForTests() {
    const char* fifo = std::getenv("BOKAVO_TEST_HOLD_SAVE");
    struct stat info;
    if (!fifo || stat(fifo, &info) != 0 || !S_ISFIFO(info.st_mode)) return;
    const Descriptor held(open(fifo, O_RDONLY | O_CLOEXEC));
    char byte;
    while (held.get() >= 0) {
        const ssize_t got = read(held.get(), &byte, 1);
        if (got == 0 || (got < 0 && errno != EINTR)) break;
    }
}

// Writes the content through a stream on a copy of `fd`, from the file's current
// position; `fd` stays open. On failure `error` holds the system's reason.
bool writeThrough(const FileWriter& write, int fd, int& error) {
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    std::FILE* file = copy >= 0 ? fdopen(copy, "wb") : nullptr;  // "w" truncates no descriptor
    if (!file) {
        error = errno;
        if (copy >= 0) close(copy);
        return false;
    }
    errno = 0;
    bool ok = write(file) && std::fflush(file) == 0;
    if (!ok) error = errno != 0 ? errno : EIO;
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        error = errno;
    }
    return ok;
}

// Makes the rename itself durable; a failure here loses nothing that was written.
void syncFolder(const fs::path& folder) {
    const Descriptor fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) fsync(fd.get());
}

// Pipes, terminals, devices and standard output ("-") take the content as it comes: a
// rename cannot replace them, and there is nothing to keep.
bool writeDirectly(const FileWriter& write, const std::string& path, std::string* whyNot) {
    const bool standardOutput = path == "-";
    const std::string shown = standardOutput ? "standard output" : path;
    const Descriptor fd(standardOutput ? fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0)
                                       : open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        setWhy(whyNot, "cannot open " + shown + " for writing: " + errorText(errno));
        return false;
    }
    int error = 0;
    if (!writeThrough(write, fd.get(), error)) {
        setWhy(whyNot, "cannot write " + shown + ": " + errorText(error));
        return false;
    }
    return true;
}

// Whether the file system holding `fd` has room for the file to grow from the blocks it
// holds now to `size` bytes. Where the file system does not say, the write will.
bool roomFor(int fd, const struct stat& file, std::uint64_t size) {
    struct statvfs disk;
    if (fstatvfs(fd, &disk) != 0 || disk.f_frsize == 0) return true;
    const std::uint64_t block = disk.f_frsize;
    const std::uint64_t needed = (size / block + (size % block != 0)) * block;
    const std::uint64_t held = std::uint64_t(file.st_blocks) * 512;  // st_blocks counts 512 bytes
    return needed <= held || needed - held <= std::uint64_t(disk.f_bavail) * block;
}

// The whole content of a regular file, read from its start; false with errno on failure.
bool readAll(int fd, std::uint64_t expected, std::vector<std::uint8_t>& bytes) {
    bytes.resize(static_cast<std::size_t>(expected));
    std::size_t done = 0;
    for (;;) {
        if (done == bytes.size()) bytes.resize(done + 4096);  // the file may have grown
        const ssize_t got = pread(fd, bytes.data() + done, bytes.size() - done, off_t(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        done += std::size_t(got);
    }
    bytes.resize(done);
    return true;
}

// For a regular file in a folder that allows no new files: the file is overwritten from
// its start and cut to the new length. Before anything is written, the file system must
// have room for the new size and the old bytes are read into memory; a failed write, or
// a guarded signal meanwhile, puts them back.
bool rewriteInPlace(const FileWriter& write, const fs::path& target, const std::string& shownPath,
                    std::uint64_t size, std::string* whyNot) {
    Descriptor fd(open(target.c_str(), O_RDWR | O_CLOEXEC));
    struct stat file;
    if (fd.get() < 0 || fstat(fd.get(), &file) != 0) {
        setWhy(whyNot, "cannot open " + shownPath + " for writing: " + errorText(errno));
        return false;
    }
    if (!roomFor(fd.get(), file, size)) {
        setWhy(whyNot, "cannot write " + shownPath + ": " + errorText(ENOSPC));
        return false;
    }
    std::vector<std::uint8_t> old;
    try {
        if (!readAll(fd.get(), std::uint64_t(file.st_size), old)) {
            setWhy(whyNot,
                   "cannot read " + shownPath + " to keep its content: " + errorText(errno));
            return false;
        }
    } catch (const std::bad_alloc&) {
        setWhy(whyNot, "cannot write " + shownPath + ": not enough memory to keep its old content");
        return false;
    }

    pending.oldBytes = old.data();
    pending.oldSize = old.size();
    pending.rewritten.store(fd.get());
    int error = 0;
    bool ok = writeThrough(write, fd.get(), error);
    if (ok) holdForTests();
    const off_t end = lseek(fd.get(), 0, SEEK_CUR);
    if (ok && (end < 0 || ftruncate(fd.get(), end) != 0 || fsync(fd.get()) != 0)) {
        ok = false;
        error = errno;
    }
    std::string why;
    if (!ok) {
        why = "cannot write " + shownPath + ": " + errorText(error);
        if (!putBack(fd.get(), old.data(), old.size())) {
            // Putting back fails where the new bytes failed, as under a file size limit
            // below the old size; the bytes past that point were never changed, so the
            // file may well hold its old content all the same.
            const int putBackError = errno;
            std::vector<std::uint8_t> now;
            if (readAll(fd.get(), old.size(), now) && now == old)
                why += "; the file is unchanged";
            else
                why += "; its old content could not be put back: " + errorText(putBackError);
        }
    }
    pending.rewritten.store(-1);
    if (!fd.close() && ok) {
        ok = false;
        why = "cannot write " + shownPath + ": " + errorText(errno);
    }
    if (!ok) setWhy(whyNot, why);
    return ok;
}

// A temporary file beside the target whose name a guarded signal finds, removed again
// unless it has been renamed over the target.
class TemporaryFile {
public:
    explicit TemporaryFile(const fs::path& folder)
        : name_((folder / ".bokavo-save-XXXXXX").string()) {
        const SignalsHeld held;
        fd_ = mkostemp(name_.data(), O_CLOEXEC);
        error_ = errno;
        exists_ = fd_ >= 0;
        if (exists_) pending.temporary.store(name_.c_str());
    }
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!exists_) return;
        const SignalsHeld held;
        unlink(name_.c_str());
        pending.temporary.store(nullptr);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool created() const { return exists_; }
    int error() const { return error_; }  // why it could not be created
    int fd() const { return fd_; }

    // Closes the file; false with errno when the system reports a failure.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }
    bool renameTo(const fs::path& target) {
        const SignalsHeld held;
        if (rename(name_.c_str(), target.c_str()) != 0) return false;
        exists_ = false;
        pending.temporary.store(nullptr);
        return true;
    }

private:
    std::string name_;
    int fd_ = -1;
    int error_ = 0;
    bool exists_ = false;
};

}  // namespace

bool saveFileSafely(const std::string& path, std::uint64_t size, const FileWriter& write,
                    std::string* whyNot) {
    if (path.empty()) {
        setWhy(whyNot, "cannot write a file without a name");
        return false;
    }
    // The path as the system resolves it, through every link: what is not a regular file
    // is written directly. Following /dev/stdout link by link would end in a pipe's or
    // terminal's name that is no path at all.
    struct stat resolved;
    if (path == "-" || (stat(path.c_str(), &resolved) == 0 && !S_ISREG(resolved.st_mode) &&
                        !S_ISDIR(resolved.st_mode)))
        return writeDirectly(write, path, whyNot);

    fs::path target;
    int error = 0;
    if (!followLinks(path, target, error)) {
        setWhy(whyNot, "cannot write " + path + ": " + errorText(error));
        return false;
    }

    struct stat existing;
    const bool exists = stat(target.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        setWhy(whyNot, "cannot write " + path + ": " + errorText(EISDIR));
        return false;
    }
    if (exists && !S_ISREG(existing.st_mode)) return writeDirectly(write, path, whyNot);

    fs::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    TemporaryFile temporary(folder);
    if (!temporary.created()) {
        error = temporary.error();
        // A folder that forbids new files may still hold a file we may change.
        if (exists && (error == EACCES || error == EPERM) && access(target.c_str(), W_OK) == 0)
            return rewriteInPlace(write, target, path, size, whyNot);
        setWhy(whyNot,
               "cannot create a temporary file in " + folder.string() + ": " + errorText(error));
        return false;
    }

    // The replacement looks like the old file: same owner and group where we may set
    // them, same permission bits. A new file gets what creating it directly would have
    // given.
    mode_t mode = 0666 & ~currentUmask();
    if (exists) {
        if (fchown(temporary.fd(), existing.st_uid, existing.st_gid) != 0 &&
            fchown(temporary.fd(), uid_t(-1), existing.st_gid) != 0) {
            // Only root may hand a file to another owner, and only to a group of one's
            // own; the file stays ours then.
        }
        mode = existing.st_mode & 07777;
        // Setuid and setgid bits name the owner and group the file runs as: on a file
        // that now belongs to someone else they would grant what the old one never did.
        struct stat made;
        const bool known = fstat(temporary.fd(), &made) == 0;
        if (!known || made.st_uid != existing.st_uid) mode &= ~mode_t(S_ISUID);
        if (!known || made.st_gid != existing.st_gid) mode &= ~mode_t(S_ISGID);
    }
    if (fchmod(temporary.fd(), mode) != 0) {
        setWhy(whyNot, "cannot write " + path + ": " + errorText(errno));
        return false;
    }

    bool written = writeThrough(write, temporary.fd(), error);
    if (written) holdForTests();
    if (written && fsync(temporary.fd()) != 0) {
        written = false;
        error = errno;
    }
    if (!temporary.close() && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        setWhy(whyNot, "cannot write " + path + ": " + errorText(error));
        return false;
    }
    if (!temporary.renameTo(target)) {
        setWhy(whyNot, "cannot replace " + path + ": " + errorText(errno));
        return false;
    }
    syncFolder(folder);
    return true;
}

SaveSignalGuard::SaveSignalGuard() {
    struct sigaction undo {};
    undo.sa_handler = undoSaveAndEnd;
    undo.sa_mask = guardedSignals();  // one undo at a time
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (int i = 0; i < 4; ++i) {
        const int signal = kGuardChanges[i];
        // A signal the process was started to ignore (nohup, a background job) stays
        // ignored.
        if (sigaction(signal, nullptr, &previous_[i]) != 0 || previous_[i].sa_handler == SIG_IGN)
            continue;
        installed_[i] = sigaction(signal, signal == SIGXFSZ ? &ignore : &undo, nullptr) == 0;
    }
}

SaveSignalGuard::~SaveSignalGuard() {
    for (int i = 0; i < 4; ++i)
        if (installed_[i]) sigaction(kGuardChanges[i], &previous_[i], nullptr);
}

bool saveImageFile(const dib24& image, const std::string& path, std::string* whyNot) {
    if (!image.bits) {
        setWhy(whyNot, "cannot write " + path + ": the picture holds no pixels");
        return false;
    }
    const std::uint64_t size = bmp::kFileHeaderSize + bmp::kInfoHeaderSize + image.pixelBytes();
    return saveFileSafely(
        path, size, [&image](std::FILE* file) { return image.saveToFile(file); }, whyNot);
}
