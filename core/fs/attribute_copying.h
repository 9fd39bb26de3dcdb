// What copying extended attributes does on every system, apart from the calls
// themselves: buffers that grow to fit the answer, attributes removed
// meanwhile skipped, and the ones the destination can't hold left behind.
// Included only by each system's attribute_copier.cpp, which makes the calls.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/fs/attribute_copier.h"

namespace redomark {

namespace attribute_copying {

constexpr size_t initialBufferBytes = 4096;
#ifdef ENOATTR
constexpr int attributeMissing = ENOATTR;
#else
constexpr int attributeMissing = ENODATA;  // Linux's name for it
#endif

// Calls fill(buffer, size) until the buffer is large enough for the answer,
// which can grow between the call that sizes it and the one that reads it.
template <typename Fill>
ssize_t readGrowing(std::vector<char>& buffer, Fill fill) {
  if (buffer.size() < initialBufferBytes) buffer.resize(initialBufferBytes);
  for (;;) {
    const ssize_t n = fill(buffer.data(), buffer.size());
    if (n >= 0 || errno != ERANGE) return n;
    const ssize_t needed = fill(nullptr, 0);
    if (needed < 0) return needed;
    buffer.resize(static_cast<size_t>(needed) + initialBufferBytes);
  }
}

}  // namespace attribute_copying

template <typename List, typename Get, typename Set>
int AttributeCopier::copyWith(List list, Get get, Set set) {
  using attribute_copying::readGrowing;
  const ssize_t listed = readGrowing(names_, list);
  if (listed < 0) return errno == ENOTSUP ? 0 : errno;
  for (ssize_t at = 0; at < listed;) {
    const char* name = names_.data() + at;
    at += static_cast<ssize_t>(std::strlen(name)) + 1;
    const ssize_t length = readGrowing(value_, [&](char* b, size_t s) { return get(name, b, s); });
    if (length < 0) {
      if (errno == attribute_copying::attributeMissing) continue;  // removed since it was listed
      return errno;
    }
    // Attributes the destination cannot hold, or that only a more privileged
    // process may set, are left behind as ownership is.
    if (set(name, value_.data(), static_cast<size_t>(length)) != 0 && errno != ENOTSUP && errno != EPERM)
      return errno;
  }
  return 0;
}

}  // namespace redomark
