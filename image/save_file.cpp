#include "image/save_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

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

// Writes the content through `fd`, which this function always closes. Flushes the data
// to the disk when `sync` is set. On failure `error` holds the system's reason.
bool writeAndClose(const FileWriter& write, int fd, bool sync, int& error) {
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
        error = errno;
        close(fd);
        return false;
    }
    errno = 0;
    bool ok = write(file) && std::fflush(file) == 0;
    if (ok && sync && fsync(fd) != 0) ok = false;
    if (!ok) error = errno != 0 ? errno : EIO;
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        error = errno;
    }
    return ok;
}

// Makes the rename itself durable; a failure here loses nothing that was written.
void syncFolder(const fs::path& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

void setWhy(std::string* whyNot, std::string text) {
    if (whyNot) *whyNot = std::move(text);
}

// Writes over the file itself: for devices and pipes, which a rename cannot replace, and
// for files in folders that allow no new files. A failed write is reported, but the old
// content is already gone by then.
bool saveInPlace(const FileWriter& write, const fs::path& target, const std::string& shownPath,
                 bool regular, std::string* whyNot) {
    const int fd = open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        setWhy(whyNot, "cannot open " + shownPath + " for writing: " + errorText(errno));
        return false;
    }
    int error = 0;
    if (!writeAndClose(write, fd, regular, error)) {
        setWhy(whyNot, "cannot write " + shownPath + ": " + errorText(error));
        return false;
    }
    return true;
}

}  // namespace

bool saveFileSafely(const std::string& path, std::uint64_t /*size*/, const FileWriter& write,
                    std::string* whyNot) {
    if (path.empty()) {
        setWhy(whyNot, "cannot write a file without a name");
        return false;
    }
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
    if (exists && !S_ISREG(existing.st_mode))
        return saveInPlace(write, target, path, false, whyNot);

    fs::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    std::string temporary = (folder / ".bokavo-save-XXXXXX").string();
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        error = errno;
        // A folder that forbids new files may still hold a file we may change.
        if (exists && (error == EACCES || error == EPERM) && access(target.c_str(), W_OK) == 0)
            return saveInPlace(write, target, path, true, whyNot);
        setWhy(whyNot,
               "cannot create a temporary file in " + folder.string() + ": " + errorText(error));
        return false;
    }

    // The replacement looks like the old file: same owner where we may set it, same
    // permission bits. A new file gets what creating it directly would have given.
    mode_t mode = 0666 & ~currentUmask();
    if (exists) {
        if (fchown(fd, existing.st_uid, existing.st_gid) != 0) {
            // Only the owner or root may hand a file over; the file stays ours then.
        }
        mode = existing.st_mode & 07777;
    }
    if (fchmod(fd, mode) != 0) {
        error = errno;
        close(fd);
        unlink(temporary.c_str());
        setWhy(whyNot, "cannot write " + path + ": " + errorText(error));
        return false;
    }

    if (!writeAndClose(write, fd, true, error)) {
        unlink(temporary.c_str());
        setWhy(whyNot, "cannot write " + path + ": " + errorText(error));
        return false;
    }
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        error = errno;
        unlink(temporary.c_str());
        setWhy(whyNot, "cannot replace " + path + ": " + errorText(error));
        return false;
    }
    syncFolder(folder);
    return true;
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
