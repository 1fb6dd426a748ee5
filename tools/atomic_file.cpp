// SPDX-License-Identifier: Apache-2.0
#include "tools/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <random>

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
}  // namespace

std::string folder_of(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

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
    fd_ = open(folder_of(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd_ >= 0)
        return;
    std::string pattern = temporary_name();
    fd_ = mkstemps(pattern.data(), 4);
    if (fd_ >= 0)
        name_ = pattern;
}

CTemporaryFile::~CTemporaryFile()
{
    if (file_ != nullptr)
        std::fclose(file_);
    else if (fd_ >= 0)
        close(fd_);
    if (!name_.empty())
        unlink(name_.c_str());
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
        std::mt19937 draw(std::random_device{}());
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
    // The new name itself survives a crash only once the folder is synced.
    const int folder = open(folder_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int failure = folder < 0 || fsync(folder) != 0 ? errno : 0;
    if (folder >= 0)
        close(folder);
    return failure;
}

std::string CTemporaryFile::temporary_name() const
{
    const size_t slash = target_.find_last_of('/');
    const std::string prefix = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    std::string name = target_.substr(prefix.size());
    const long folder_limit = pathconf(folder_of(target_).c_str(), _PC_NAME_MAX);
    const size_t limit = folder_limit > 0 ? static_cast<size_t>(folder_limit) : NAME_MAX;
    const std::string suffix = ".XXXXXX.tmp";
    if (name.size() + suffix.size() > limit)
        name.resize(limit > suffix.size() ? limit - suffix.size() : 0);
    return prefix + name + suffix;
}
