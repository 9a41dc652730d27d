// Files of the appliance named by their fixed paths: every path given here
// is written as the system writes it and mapped under APPLIANCE_ROOT inside.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

#include "zun_fd.h"

// Opens the regular file `path` for reading into fd. Returns its size in
// bytes (0 for an empty file), or -1 when it cannot be opened or is not a
// regular file (fd is then closed).
long long zunfile_open(const char *path, Fd &fd);

// Copies exactly `size` bytes from fd to out, reading at most `piece` bytes
// at a time into buf (piece at most the size of buf). True when every byte
// reached out; false on a read error, a file that ended early or a failed
// write.
bool zunfile_send(int fd, long long size, FILE *out, char *buf, size_t piece);

// Makes data (n bytes) the whole content of `path`: written into a temporary
// file beside it (given `mode` on the open file, so that the umask does not
// narrow it), flushed to the disk, then renamed over the path, and the
// folder flushed so that the rename is stored too. 0 on success; -1 when any
// step failed, and no temporary file is left: the file at `path` is then as
// it was, except when only the last flush of the folder failed, where it
// already holds the new content but may lose it at a power cut (either way
// it holds one content whole, and the caller may try again).
int zunfile_replace(const char *path, const void *data, size_t n, mode_t mode);

// Makes `path` a folder that only this process's user can enter (mode
// 0700): created when missing; an existing one must be a real folder (not a
// link) owned by this user, and is narrowed to 0700. 0, or -1 when it cannot
// be made so (someone else's folder, a link, a file in its place).
int zunfile_private_folder(const char *path);

// Removes the file `path`. 0 when it is gone (also when it was not there),
// -1 otherwise.
int zunfile_remove(const char *path);

// The entry names of the folder `path` ("." and ".." left out), sorted
// bytewise. 0, or -1 (names empty) when the folder cannot be opened or read
// to its end.
int zunfile_list(const char *path, std::vector<std::string> &names);
