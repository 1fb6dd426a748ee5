// SPDX-License-Identifier: Apache-2.0
#pragma once
// Files that appear under their name only when complete, for the images,
// checkpoints and JSON documents vantrel-render writes.

#include <sys/stat.h>

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

// What the render holds open at once while it writes a file: the folder, the
// new file, and the folder's listing and one leftover it looks at after.
constexpr size_t kRenderFileDescriptors = 4;

// The signals that end a process by default and that people or the system
// send. While a file is written they are only noted; once it is in place or
// given up they are raised again, so none is lost and none can cut the write
// short or leave a temporary file behind (whichever thread receives it). One
// hold at a time: each restores the handlers it found.
class CHeldSignals {
public:
    CHeldSignals();
    ~CHeldSignals();
    CHeldSignals(const CHeldSignals&) = delete;
    CHeldSignals& operator=(const CHeldSignals&) = delete;

private:
    std::lock_guard<std::mutex> lock_;
    struct sigaction saved_[10];
};

// The file written before it takes the target's name: an unnamed file in the
// target's folder where the file system has them (O_TMPFILE) and /proc can
// link it in; elsewhere a uniquely named "<name>.XXXXXX.tmp" beside the
// target, removed again unless it was renamed into place. Names are shortened
// to stay within the folder's longest. The folder is opened here, so the last
// step (syncing it) needs no new file descriptor. Only SIGKILL or a crash
// between naming and renaming can leave a temporary file; the next file moved
// into place beside it removes such leftovers of its own name.
class CTemporaryFile {
public:
    explicit CTemporaryFile(const std::string& target);
    ~CTemporaryFile();
    CTemporaryFile(const CTemporaryFile&) = delete;
    CTemporaryFile& operator=(const CTemporaryFile&) = delete;

    bool created() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // A stream over the file, owned by this object.
    FILE* stream();
    // The permission bits of the file the target names now, or a new file's
    // usual ones (0666 less the umask).
    void take_target_permissions();
    // Writes everything out to the disk; 0 or the first error number.
    int sync();
    // Gives the synced file the target's name, replacing what had it, and
    // syncs the folder; 0 or the error number. An unnamed file is linked in:
    // under the target's name where that is free, else under a temporary name
    // renamed over the target. placed() tells whether the target was replaced
    // when the folder's sync failed.
    int move_into_place();
    bool placed() const { return placed_; }

private:
    std::string temporary_name() const;
    bool open_unnamed();
    void remove_leftovers() const;

    std::string target_;
    int folder_ = -1;
    int fd_ = -1;
    FILE* file_ = nullptr;
    std::string name_;
    bool placed_ = false;
};

// Writes a whole file: `path` followed through its links, the file written by
// `write` (handed the stream; false with `error` when it failed) into a
// CTemporaryFile with the target's permission bits, synced and moved into
// place, the signals held meanwhile. On failure nothing is left behind, an
// existing file is unchanged and `error` says what failed, naming `what`
// ("image") and the system's reason.
bool write_whole_file(const std::string& path, const std::string& what,
                      const std::function<bool(FILE*, std::string&)>& write, std::string& error);
