// Size limits shared by every platform, so the same ASCII input gives the
// same bytes everywhere.
#ifndef VQLOGGER_CORE_LIMITS_H_
#define VQLOGGER_CORE_LIMITS_H_

#include <cstddef>

namespace vqlogger {

// Every log line is built in a buffer of this many bytes, terminating zero
// included, so a line holds at most kLineCapacity - 1 bytes.
constexpr unsigned kLineCapacity = 5096;
// A directory (and the directory-creation working copy) holds at most
// kDirectoryCapacity - 1 characters.
constexpr size_t kDirectoryCapacity = 260;
// A source file name longer than this is replaced by a fixed text.
constexpr size_t kMaxSourceFileLength = 1000;
// A runtime message, with its terminating zero, takes at most this many bytes.
constexpr size_t kMessageCapacity = 4000;
// Base name, process tag and time text of a log file name together.
constexpr size_t kMaxNamePartLength = 260;
constexpr size_t kBaseNameCapacity = 256;
// The composed log file path holds at most kPathCapacity - 1 characters.
constexpr size_t kPathCapacity = 520;
// Longest text "%d" can give for a 32-bit int, with its zero.
constexpr size_t kIntTextCapacity = 12;

static_assert(kMessageCapacity < kLineCapacity, "a message must fit a line");
static_assert(kMaxSourceFileLength < kLineCapacity, "a file name must fit a line");
static_assert(2 * kDirectoryCapacity == kPathCapacity, "path = directory + name part");

}  // namespace vqlogger

#endif  // VQLOGGER_CORE_LIMITS_H_
