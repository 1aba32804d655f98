// Saving files without ever leaving a damaged file behind.
#pragma once

#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "image/dib24.h"

// Writes a file's whole content to the stream it is given; false when a write failed.
using FileWriter = std::function<bool(std::FILE*)>;

// Writes the `size` bytes that `write` produces to `path`, in the way saveImageFile
// describes below; saveImageFile is this function with the bitmap writer.
bool saveFileSafely(const std::string& path, std::uint64_t size, const FileWriter& write,
                    std::string* whyNot = nullptr);

// Writes `image` as a 24-bit bitmap file at `path`. The bytes go to a temporary file in
// the folder of the file `path` names (a symbolic link is followed to its target), are
// flushed, get the existing file's owner and permission bits (a new file gets 0666 less
// the umask; setuid and setgid bits stay only where the owner and group could be kept),
// and only then replace the file by a rename. A hard link to the old file keeps the old
// content.
//
// Where no temporary file can be made in that folder but the file itself may be read and
// written, it is rewritten in place: only when the file system has room for the new size,
// and with the old bytes kept in memory, so that a failed write puts them back.
//
// What is not a regular file (a pipe, a terminal, a device) is written directly, and so
// is standard output when `path` is "-".
//
// On failure an existing file is left as it was, no temporary file remains, and
// `whyNot`, when given, says what went wrong.
//
// For the fault-injection tests only: when the environment variable BOKAVO_TEST_HOLD_SAVE
// names a fifo, the saver waits, once the new content is written but before it replaces
// or completes the file, until a writer has opened the fifo and closed it again. A test
// thus knows that a signal it sends then arrives in the middle of a save. A name that is
// not a fifo is ignored.
bool saveImageFile(const dib24& image, const std::string& path, std::string* whyNot = nullptr);

// For the life of this object, SIGINT, SIGTERM and SIGHUP first undo a save in progress
// (remove its temporary file, or put back the old bytes of a file rewritten in place) and
// then end the process as the signal would have. Signals the process ignores stay
// ignored. SIGXFSZ is ignored meanwhile, so that a write beyond the file size limit fails
// and is undone like any other failed write instead of ending the process. The saver
// holds the three signals off in the calling thread for the few steps where a temporary
// file's name is not yet known or already gone; other threads that are running must
// block them. After SIGKILL nothing can clean up: a temporary file ".bokavo-save-XXXXXX"
// may then stay beside the output.
class SaveSignalGuard {
public:
    SaveSignalGuard();
    ~SaveSignalGuard();
    SaveSignalGuard(const SaveSignalGuard&) = delete;
    SaveSignalGuard& operator=(const SaveSignalGuard&) = delete;

private:
    struct sigaction previous_[4];
    bool installed_[4] = {};
};
