/*
 * vqlogger: diagnostic logging to two per-process files, an assertion log and
 * a runtime log. Every call writes one tab-separated UTF-8 line and flushes it
 * to the operating system before it returns; any thread may call any export.
 *
 * The host calls InitializeLogger once, then the record exports. No export
 * reports an error; a record that cannot be written is dropped or replaced by
 * a fallback line in the log itself.
 *
 * Signal handlers (POSIX) and vectored exception handlers (Windows) may call
 * the five record exports and Set/GetLoggingLevel, once InitializeLogger has
 * returned. Such a call never waits for anything its own interrupted thread
 * holds: its record is written whole when that breaks neither another line
 * nor the time-stamp order, and is dropped when the interrupted thread was
 * building a record or holding the writer's role (in or around a write). InitializeLogger is not for handlers, nor is a wide format
 * whose text grows past 1024 UTF-16 units (it takes heap memory); see the
 * README for the C library's own limits. No export is a cancellation point:
 * a deferred pthread_cancel takes effect outside the library.
 */
#ifndef VQLOGGER_H_
#define VQLOGGER_H_

#include <stdarg.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#include <stddef.h>
typedef wchar_t VqWideChar;
#elif defined(__cplusplus)
typedef char16_t VqWideChar;
#else
#include <uchar.h>
typedef char16_t VqWideChar;
#endif

#if defined(_WIN32)
#if defined(VQLOGGER_BUILD)
#define VQLOGGER_API __declspec(dllexport)
#elif defined(VQLOGGER_STATIC)
#define VQLOGGER_API
#else
#define VQLOGGER_API __declspec(dllimport)
#endif
#define VQLOGGER_CALL __cdecl
#else
#define VQLOGGER_API __attribute__((visibility("default")))
#define VQLOGGER_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the library: creates both log files on the first successful call.
 * *enableAssert receives the assertion flag. Returns false when a logger or
 * a log file could not be created. */
VQLOGGER_API bool VQLOGGER_CALL InitializeLogger(char *enableAssert, int runtimeLevel, const char *logDirectory);

/* Appends an assertion record: time, thread, source file, line, expression. */
VQLOGGER_API void VQLOGGER_CALL AssertToLogfile(const char *sourceFile, int lineNumber, const char *expression);

/* Appends a runtime record from a narrow message (ANSI code page; UTF-8 on POSIX). */
VQLOGGER_API void VQLOGGER_CALL RuntimeInfoToLogfileA(const char *sourceFile, int lineNumber, const char *message, int level);

/* Appends a runtime record from a wide (UTF-16) message. */
VQLOGGER_API void VQLOGGER_CALL RuntimeInfoToLogfile(const char *sourceFile, int lineNumber, const VqWideChar *message, int level);

/* Appends a runtime record expanded from a wide format and its arguments. */
VQLOGGER_API void VQLOGGER_CALL RuntimeInfoToLogfileArglist(const char *sourceFile, int lineNumber, const VqWideChar *format, int level, va_list args);

/* Appends a runtime record holding count bytes of block as upper-case hex. */
VQLOGGER_API void VQLOGGER_CALL RuntimeInfoToLogfileBinary(const char *sourceFile, int lineNumber, const void *block, unsigned int count, int level);

/* The runtime level held for the host; the library itself filters nothing. */
VQLOGGER_API void VQLOGGER_CALL SetLoggingLevel(int level);
VQLOGGER_API int  VQLOGGER_CALL GetLoggingLevel(void);

#ifdef __cplusplus
}
#endif

#endif /* VQLOGGER_H_ */
