// The extended-attribute calls of libSystem. Apple's SDK declares them in
// <sys/xattr.h>; toolchains that carry only part of its headers get the same
// declarations here.
#pragma once

#if __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#else
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#define XATTR_NOFOLLOW 0x0001
#define XATTR_CREATE 0x0002
#define XATTR_REPLACE 0x0004
#define XATTR_NOSECURITY 0x0008

extern "C" {
ssize_t getxattr(const char* path, const char* name, void* value, size_t size, uint32_t position, int options);
ssize_t fgetxattr(int fd, const char* name, void* value, size_t size, uint32_t position, int options);
int setxattr(const char* path, const char* name, const void* value, size_t size, uint32_t position, int options);
int fsetxattr(int fd, const char* name, const void* value, size_t size, uint32_t position, int options);
ssize_t listxattr(const char* path, char* namebuff, size_t size, int options);
ssize_t flistxattr(int fd, char* namebuff, size_t size, int options);
}
#endif
