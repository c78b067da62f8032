/*
 * vqlogger_helpers.h: header-only conveniences for hosts of vqlogger, valid
 * in C11 and C++. Everything here is a macro or a static inline function
 * over the eight exports of vqlogger.h; nothing is exported.
 *
 * When a record is issued. The library writes every record it is given; the
 * host decides what to give it. The rule these helpers follow:
 *
 *   a runtime record of level L is issued when GetLoggingLevel() > 0 and
 *   L <= GetLoggingLevel().
 *
 * So level 0 (the level after start-up unless the host or
 * LOGGING_ENABLED_RUNTIME sets one) turns runtime records off, a positive
 * level lets every record up to that level through, and records of level 0
 * or below are issued whenever runtime logging is on at all. An assertion
 * record is issued when the host's assert flag, the char that
 * InitializeLogger filled in, is non-zero.
 *
 * Typical use:
 *
 *   static char assert_flag;
 *   InitializeLogger(&assert_flag, 2, "logs");
 *   VQ_LOG(1, VQ_WTEXT("opened %s, %d entries"), VQ_WTEXT("db"), count);
 *   VQ_ASSERT(assert_flag, count >= 0);
 */
#ifndef VQLOGGER_HELPERS_H_
#define VQLOGGER_HELPERS_H_

#include <stdarg.h>

#include "vqlogger.h"

/* A wide string literal of the library's wide type (wchar_t on Windows,
 * char16_t elsewhere): VQ_WTEXT("x=%d"). */
#if defined(_WIN32)
#define VQ_WTEXT(literal) L##literal
#else
#define VQ_WTEXT(literal) u##literal
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* True (1) when a runtime record of `level` is to be issued. */
static inline int VqLevelIssued(int level) {
  int current = GetLoggingLevel();
  return current > 0 && level <= current;
}

/* Writes one runtime record formatted from a wide format and its arguments
 * through RuntimeInfoToLogfileArglist. It issues unconditionally; VQ_LOG
 * applies the level rule first. The format language is the library's own:
 * d i u o x X c C s S with flags, width and precision; "%%" is no escape. */
static inline void VqLogFormat(const char *sourceFile, int lineNumber, int level, const VqWideChar *format,
                               ...) {
  va_list args;
  va_start(args, format);
  RuntimeInfoToLogfileArglist(sourceFile, lineNumber, format, level, args);
  va_end(args);
}

#ifdef __cplusplus
}
#endif

/* VQ_LOG(level, format, ...): a formatted runtime record from this source
 * file and line, issued by the rule above. The arguments are evaluated only
 * when it is issued. */
#define VQ_LOG(level, ...)                                                \
  do {                                                                    \
    if (VqLevelIssued(level)) VqLogFormat(__FILE__, __LINE__, (level), __VA_ARGS__); \
  } while (0)

/* VQ_LOG_TEXT(level, text): a runtime record from a narrow text (UTF-8 on
 * POSIX, the ANSI code page on Windows), issued by the rule above. */
#define VQ_LOG_TEXT(level, text)                                          \
  do {                                                                    \
    if (VqLevelIssued(level)) RuntimeInfoToLogfileA(__FILE__, __LINE__, (text), (level)); \
  } while (0)

/* VQ_ASSERT(flag, expr): when `flag` (the host's assert flag) is non-zero
 * and `expr` is false, records the text of `expr` with this file and line.
 * Like assert() under NDEBUG, `expr` is not evaluated when `flag` is 0. */
#define VQ_ASSERT(flag, expr)                                             \
  do {                                                                    \
    if ((flag) && !(expr)) AssertToLogfile(__FILE__, __LINE__, #expr);     \
  } while (0)

#endif /* VQLOGGER_HELPERS_H_ */
