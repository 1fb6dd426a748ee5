// SPDX-License-Identifier: Apache-2.0
#include "render/files/write_landing.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

namespace {
std::string joined(const std::string& folder, const std::string& name)
{
    if (folder.empty())
        return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The folder and last name a write to `path` replaces.
bool landing_of(const std::string& path, struct stat& folder, std::string& name)
{
    std::string target, ignored;
    if (!resolve_links(path, target, ignored) || stat(folder_of(target).c_str(), &folder) != 0)
        return false;
    name = target.substr(target.find_last_of('/') + 1);
    return true;
}

// "/" or "/." (any "." or ".." last name): the name of a folder, never of a
// file to write; "" when the last name is a file's.
std::string folder_ending(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const std::string last = path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (!last.empty() && last != "." && last != "..")
        return "";
    return slash == std::string::npos ? last : path.substr(slash);
}

bool all_digits(const std::string& text)
{
    return !text.empty() && text.size() < 10 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// /proc/self/fd by any of its names: this process's open descriptors, whose
// entries are links the kernel makes up (to "pipe:[123]", a deleted file...).
bool is_own_descriptor_folder(const std::string& folder)
{
    const std::string pid = std::to_string(getpid());
    if (folder.rfind("/proc/", 0) != 0 || folder.size() < 9 || folder.compare(folder.size() - 3, 3, "/fd") != 0)
        return false;
    const std::string middle = folder.substr(6, folder.size() - 9);
    if (middle == "self" || middle == "thread-self" || middle == pid)
        return true;
    const std::string task = pid + "/task/";
    return middle.rfind(task, 0) == 0 && all_digits(middle.substr(task.size()));
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

bool is_shared_folder(const struct stat& folder)
{
    return S_ISDIR(folder.st_mode) && (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
}

bool resolve_links(const std::string& path, std::string& target, std::string& error)
{
    // Dropping the "/" of "sub/" would write a file named "sub".
    if (const std::string ending = folder_ending(path); !ending.empty()) {
        error = "the name ends in '" + ending + "', which names a folder, not a file";
        return false;
    }
    // The part walked so far, free of links, and the names still to walk.
    std::string done = !path.empty() && path[0] == '/' ? "/" : "";
    std::string rest = path;
    for (int hops = 0; !rest.empty();) {
        const size_t slash = rest.find('/');
        const std::string part = rest.substr(0, slash);
        rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
        if (part.empty() || part == ".")
            continue;
        // The kernel's links there lead to what a descriptor holds, not to a name.
        if (rest.empty() && all_digits(part) && is_own_descriptor_folder(done)) {
            target = "/proc/self/fd/" + part;
            return true;
        }
        const std::string here = joined(done, part);
        struct stat info{};
        if (part == ".." || lstat(here.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            done = here;  // a folder, the last name, or nothing yet (the checks that follow say so)
            continue;
        }
        if (++hops > 40) {
            error = "'" + path + "': " + std::strerror(ELOOP);
            return false;
        }
        struct stat folder{};
        const std::string folder_name = done.empty() ? "." : done;
        if (stat(folder_name.c_str(), &folder) == 0 && is_shared_folder(folder) && info.st_uid != geteuid() &&
            info.st_uid != folder.st_uid) {
            error = "'" + here + "' is a symbolic link of another user in the shared folder '" + folder_name +
                    "'; it is not followed";
            return false;
        }
        std::vector<char> link(PATH_MAX + 1);
        const ssize_t length = readlink(here.c_str(), link.data(), link.size());
        if (length <= 0 || static_cast<size_t>(length) >= link.size()) {
            error = "cannot read the symbolic link '" + here + "': " +
                    std::strerror(length < 0 ? errno : length == 0 ? ENOENT : ENAMETOOLONG);
            return false;
        }
        // The link's text takes its place in what is left to walk.
        std::string to(link.data(), static_cast<size_t>(length));
        if (rest.empty() && !folder_ending(to).empty()) {
            error = "the symbolic link '" + here + "' leads to '" + to + "', which names a folder, not a file";
            return false;
        }
        if (to[0] == '/')
            done.assign(1, '/');  // an absolute link starts again from the root
        if (!rest.empty())
            to.append(1, '/').append(rest);
        rest = std::move(to);
    }
    target = done.empty() ? "." : done;
    return true;
}

int descriptor_named(const std::string& path)
{
    // By name too, where /dev lacks the links (a bare container).
    if (path == "/dev/stdin" || path == "/dev/stdout" || path == "/dev/stderr")
        return path == "/dev/stdin" ? 0 : path == "/dev/stdout" ? 1 : 2;
    if (path.rfind("/dev/fd/", 0) == 0 && all_digits(path.substr(8)))
        return std::stoi(path.substr(8));
    std::string target, ignored;
    constexpr size_t kPrefix = sizeof "/proc/self/fd/" - 1;
    if (!resolve_links(path, target, ignored) || target.rfind("/proc/self/fd/", 0) != 0 ||
        !all_digits(target.substr(kPrefix)))
        return -1;
    return std::stoi(target.substr(kPrefix));
}

bool same_landing(const std::string& a, const std::string& b)
{
    struct stat folder_a{}, folder_b{};
    std::string name_a, name_b;
    return landing_of(a, folder_a, name_a) && landing_of(b, folder_b, name_b) && folder_a.st_dev == folder_b.st_dev &&
           folder_a.st_ino == folder_b.st_ino && name_a == name_b;
}
