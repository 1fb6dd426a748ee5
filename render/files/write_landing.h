// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where a write to a name lands: links followed (with the planted-link rules),
// names of open descriptors told from file names, two names compared by the
// file they would replace.

#include <sys/stat.h>

#include <string>

// The folder a file would be written to ("." for a bare file name).
std::string folder_of(const std::string& path);

// A folder anyone may write to and only owners may delete from, like /tmp.
bool is_shared_folder(const struct stat& folder);

// Where a write to `path` lands: `path` with every symbolic link on the way
// followed, in its folders as in its last name (the end need not exist yet).
// An open descriptor's name (/dev/stdout, /proc/self/fd/3) ends the walk as
// "/proc/self/fd/N": what it leads to is a stream, not a file to replace.
// False, with `error`, for a loop, an unreadable link, a name that ends in a
// folder ("sub/", "sub/.", or a link to one), and a link in a shared sticky
// folder (like /tmp) that belongs neither to us nor to the folder's owner:
// another user may have planted it to have us replace a file of ours.
bool resolve_links(const std::string& path, std::string& target, std::string& error);

// The open descriptor `path` names: 1 for /dev/stdout, 2 for /dev/stderr, N
// for /dev/fd/N or /proc/self/fd/N, also through links; -1 for a file name.
int descriptor_named(const std::string& path);

// Whether writes to `a` and `b` land on one file: the same name in the same
// folder once links are followed, however the folder is reached (another
// name, a bind mount).
bool same_landing(const std::string& a, const std::string& b);
