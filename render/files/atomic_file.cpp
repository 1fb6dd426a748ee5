// SPDX-License-Identifier: Apache-2.0
#include "render/files/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "render/files/write_landing.h"

namespace {
constexpr int kHeldSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGUSR1,
                                SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU};
constexpr size_t kHeldCount = sizeof kHeldSignals / sizeof kHeldSignals[0];
volatile std::sig_atomic_t g_noted[kHeldCount];
std::mutex g_hold_mutex;

extern "C" void note_signal(int signal_number)
{
    for (size_t i = 0; i < kHeldCount; ++i)
        if (kHeldSignals[i] == signal_number)
            g_noted[i] = 1;
}

constexpr const char kTemporarySuffix[] = ".XXXXXX.tmp";
constexpr size_t kTemporarySuffixLength = sizeof kTemporarySuffix - 1;
}  // namespace

CHeldSignals::CHeldSignals() : lock_(g_hold_mutex)
{
    static_assert(sizeof saved_ / sizeof saved_[0] == kHeldCount);
    struct sigaction note{};
    note.sa_handler = note_signal;
    sigemptyset(&note.sa_mask);
    note.sa_flags = SA_RESTART;
    for (size_t i = 0; i < kHeldCount; ++i) {
        g_noted[i] = 0;
        sigaction(kHeldSignals[i], nullptr, &saved_[i]);
        if (saved_[i].sa_handler != SIG_IGN)
            sigaction(kHeldSignals[i], &note, nullptr);
    }
}

CHeldSignals::~CHeldSignals()
{
    for (size_t i = 0; i < kHeldCount; ++i)
        if (saved_[i].sa_handler != SIG_IGN)
            sigaction(kHeldSignals[i], &saved_[i], nullptr);
    for (size_t i = 0; i < kHeldCount; ++i)
        if (g_noted[i])
            raise(kHeldSignals[i]);
}

CTemporaryFile::CTemporaryFile(const std::string& target) : target_(target)
{
    folder_ = open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_ < 0)
        return;
    if (!open_unnamed()) {
        std::string pattern = temporary_name();
        fd_ = mkstemps(pattern.data(), 4);
        if (fd_ >= 0)
            name_ = pattern;
    }
    // Held until the file is closed: leftovers are told from files being written by it.
    if (fd_ >= 0)
        flock(fd_, LOCK_EX | LOCK_NB);
    else {
        const int why = errno;
        close(folder_);
        folder_ = -1;
        errno = why;
    }
}

CTemporaryFile::~CTemporaryFile()
{
    if (file_ != nullptr)
        std::fclose(file_);
    else if (fd_ >= 0)
        close(fd_);
    if (!name_.empty())
        unlink(name_.c_str());
    if (folder_ >= 0)
        close(folder_);
}

// An unnamed file, where it can be linked in later: the link goes through
// /proc/self/fd, which a process may lack (a mount namespace without /proc).
bool CTemporaryFile::open_unnamed()
{
    fd_ = openat(folder_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd_ < 0)
        return false;
    struct stat opened{}, seen{};
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    if (fstat(fd_, &opened) == 0 && stat(self.c_str(), &seen) == 0 && opened.st_dev == seen.st_dev &&
        opened.st_ino == seen.st_ino)
        return true;
    close(fd_);
    fd_ = -1;
    return false;
}

FILE* CTemporaryFile::stream()
{
    if (file_ == nullptr)
        file_ = fdopen(fd_, "wb");
    return file_;
}

void CTemporaryFile::take_target_permissions()
{
    struct stat existing{};
    if (stat(target_.c_str(), &existing) == 0) {
        fchmod(fd_, existing.st_mode & 0777);
        return;
    }
    const mode_t mask = umask(0);  // read only by setting it
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
}

int CTemporaryFile::sync()
{
    if ((file_ != nullptr && std::fflush(file_) != 0) || fsync(fd_) != 0)
        return errno;
    return 0;
}

int CTemporaryFile::move_into_place()
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    bool linked = false;
    if (name_.empty()) {
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target_.c_str(), AT_SYMLINK_FOLLOW) == 0)
            linked = true;
        else if (errno != EEXIST)
            return errno;
        uint32_t seed = 0;
        if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed)
            seed = static_cast<uint32_t>(getpid()) ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this));
        std::mt19937 draw(seed);
        for (int attempt = 0; !linked && name_.empty(); ++attempt) {
            std::string name = temporary_name();
            for (size_t at = name.size() - 10; at < name.size() - 4; ++at)
                name[at] = "abcdefghijklmnopqrstuvwxyz0123456789"[draw() % 36];
            if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
                name_ = name;
            else if (errno != EEXIST || attempt == 100)
                return errno;
        }
    }
    if (!linked) {
        if (std::rename(name_.c_str(), target_.c_str()) != 0)
            return errno;
        name_.clear();
    }
    placed_ = true;
    // The new name itself survives a crash only once the folder is synced.
    const int failure = fsync(folder_) != 0 ? errno : 0;
    remove_leftovers();
    return failure;
}

// Temporary files of this target that a killed run left: this program's
// pattern, regular files of ours, and not held by a process writing them.
void CTemporaryFile::remove_leftovers() const
{
    const std::string pattern = temporary_name();
    const std::string prefix = pattern.substr(pattern.find_last_of('/') + 1);
    const size_t stem = prefix.size() - kTemporarySuffixLength;
    const int listing = openat(folder_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* folder = listing >= 0 ? fdopendir(listing) : nullptr;
    if (folder == nullptr) {
        if (listing >= 0)
            close(listing);
        return;
    }
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() || name.compare(0, stem + 1, prefix, 0, stem + 1) != 0 ||
            name.compare(stem + 7, std::string::npos, prefix, stem + 7, std::string::npos) != 0)
            continue;
        bool random_part = true;
        for (size_t at = stem + 1; at < stem + 7; ++at)
            random_part = random_part && std::isalnum(static_cast<unsigned char>(name[at]));
        const int fd = random_part ? openat(folder_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1;
        if (fd < 0)
            continue;
        struct stat opened{}, named{};
        if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == geteuid() &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && fstatat(folder_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_dev == opened.st_dev && named.st_ino == opened.st_ino)
            unlinkat(folder_, name.c_str(), 0);
        close(fd);
    }
    closedir(folder);
}

std::string CTemporaryFile::temporary_name() const
{
    const size_t slash = target_.find_last_of('/');
    const std::string prefix = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    std::string name = target_.substr(prefix.size());
    const long folder_limit = pathconf(folder_of(target_).c_str(), _PC_NAME_MAX);
    const size_t limit = folder_limit > 0 ? static_cast<size_t>(folder_limit) : NAME_MAX;
    const std::string suffix = kTemporarySuffix;
    if (name.size() + suffix.size() > limit)
        name.resize(limit > suffix.size() ? limit - suffix.size() : 0);
    return prefix + name + suffix;
}

bool write_whole_file(const std::string& path, const std::string& what,
                      const std::function<bool(FILE*, std::string&)>& write, std::string& error)
{
    std::string target;
    if (!resolve_links(path, target, error))
        return false;
    struct stat existing{};
    if (descriptor_named(target) >= 0 || (stat(target.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode))) {
        error = "'" + target + "' is not a regular file";
        return false;
    }
    // Declared in this order, the temporary file is gone before held signals are raised.
    CHeldSignals held;
    CTemporaryFile temporary(target);
    if (!temporary.created()) {
        error = "cannot create a file in '" + folder_of(target) + "': " + std::strerror(errno);
        return false;
    }
    temporary.take_target_permissions();
    FILE* file = temporary.stream();
    if (file == nullptr) {
        error = "cannot open a file in '" + folder_of(target) + "': " + std::strerror(errno);
        return false;
    }
    if (!write(file, error)) {
        error = "cannot write the " + what + ": " + error;
        return false;
    }
    if (const int failure = temporary.sync(); failure != 0) {
        error = "cannot write the " + what + ": " + std::strerror(failure);
        return false;
    }
    if (const int failure = temporary.move_into_place(); failure != 0) {
        error = temporary.placed() ? "the " + what + " is in place, but its folder could not be synced to the disk: " +
                                         std::strerror(failure)
                                   : "cannot move the finished " + what + " into place: " + std::strerror(failure);
        return false;
    }
    return true;
}
