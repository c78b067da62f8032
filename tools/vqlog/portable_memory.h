// memrchr, a GNU extension, for the C runtimes that lack it (MinGW's msvcrt).
// Included ahead of every source of the reading library on Windows.
#ifndef VQLOG_PORTABLE_MEMORY_H_
#define VQLOG_PORTABLE_MEMORY_H_

#ifdef _WIN32
#include <cstddef>

inline const void* memrchr(const void* block, int c, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(block);
  while (size > 0) {
    if (bytes[--size] == static_cast<unsigned char>(c)) return bytes + size;
  }
  return nullptr;
}
#endif

#endif  // VQLOG_PORTABLE_MEMORY_H_
