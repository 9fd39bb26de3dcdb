// Btrfs subvolumes: telling a subvolume's root, snapshotting one, making a new
// one, and removing one. Every call here works for the subvolume's owner
// without privileges, except destroySubvolume, which only some processes may
// use and whose refusal callers take as a hint to remove the tree themselves.
#pragma once

#include <cstdint>
#include <string>

#include "core/fs/directory_handle.h"

namespace redomark {

// Whether the open directory is the root of a Btrfs subvolume.
bool isSubvolume(int directoryFd);
bool isSubvolume(const DirectoryHandle& directory);
// Whether a directory with this inode number, met inside a Btrfs snapshot,
// stands for a subvolume that was nested where the snapshot was taken (the
// snapshot holds an empty directory in its place).
bool isNestedSubvolumeStub(uint64_t inode);

// The Btrfs file system's id, the same in all its subvolumes, asked of any
// open file or directory of it without privileges; empty elsewhere.
std::string btrfsFileSystemId(int fd);

// A snapshot of the subvolume sourceFd as the new entry name of the directory
// parentFd, read-only or writable. 0, or the errno (EXDEV between two file
// systems, EPERM for a subvolume the process may not snapshot).
int snapshotSubvolume(int sourceFd, int parentFd, const std::string& name, bool readOnly);
int snapshotSubvolume(const DirectoryHandle& source, const DirectoryHandle& parent, const std::string& name,
                      bool readOnly);
// A new empty subvolume as the entry name of parentFd; 0 or the errno.
int createSubvolume(int parentFd, const std::string& name);
// A new subvolume as the entry name of parent, private to the process's user
// (the call makes it readable by all); 0 or the errno, EEXIST when the name
// is taken. Anything found in its place afterwards is left for the caller to
// judge.
int createPrivateSubvolume(const DirectoryHandle& parent, const std::string& name);
// Clears the read-only flag of the subvolume whose root is open as fd, so that
// its entries can be removed; 0 (also when it was writable) or the errno.
int makeSubvolumeWritable(int fd);
// Removes the subvolume name of parentFd with everything in it in one call;
// 0, or the errno (EPERM where the process may not).
int destroySubvolume(int parentFd, const std::string& name);

}  // namespace redomark
