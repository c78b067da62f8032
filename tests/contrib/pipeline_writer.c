/*
 * A host for the pipeline tests: writes every kind of record through the
 * library's exports into DIR, ROUNDS times, pausing PAUSE_MS between rounds.
 * Each round writes eight records: narrow, wide, formatted and binary runtime
 * records, a fallback line (a message of 4000 bytes), and three asserts (a
 * plain one, one with a tab and one with a line feed in the expression).
 *
 * Usage: pipeline_writer DIR TAG ROUNDS [PAUSE_MS]
 * Prints the number of records written.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vqlogger.h>

enum { kRecordsPerRound = 8 };

static void Formatted(const char *file, int line, int level, const VqWideChar *format, ...) {
  va_list args;
  va_start(args, format);
  RuntimeInfoToLogfileArglist(file, line, format, level, args);
  va_end(args);
}

/* A wide copy of ASCII text followed by the non-ASCII tail " é ✓". */
static void WideText(VqWideChar *out, size_t capacity, const char *ascii) {
  size_t n = 0;
  while (*ascii && n + 5 < capacity) out[n++] = (VqWideChar)(unsigned char)*ascii++;
  out[n++] = 0x20;
  out[n++] = 0xE9;
  out[n++] = 0x20;
  out[n++] = 0x2713;
  out[n] = 0;
}

static void Pause(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s DIR TAG ROUNDS [PAUSE_MS]\n", argv[0]);
    return 2;
  }
  const char *tag = argv[2];
  int rounds = atoi(argv[3]);
  long pause = argc > 4 ? atol(argv[4]) : 0;
  char flag = 0;
  if (!InitializeLogger(&flag, 3, argv[1])) {
    fprintf(stderr, "%s: InitializeLogger failed\n", argv[0]);
    return 1;
  }
  static char long_message[4001];
  memset(long_message, 'x', 4000);

  char text[256];
  VqWideChar wide[256];
  for (int r = 0; r < rounds; ++r) {
    snprintf(text, sizeof text, "%s round %d narrow caf\xC3\xA9 \"quoted\" back\\slash", tag, r);
    RuntimeInfoToLogfileA("src/narrow.c", 10 + r, text, 1);

    snprintf(text, sizeof text, "%s round %d wide", tag, r);
    WideText(wide, sizeof wide / sizeof wide[0], text);
    RuntimeInfoToLogfile("src/wide.c", 20, wide, 2);

    WideText(wide, sizeof wide / sizeof wide[0], "%s round %d formatted [%5d] 0x%x");
    VqWideChar wtag[64];
    WideText(wtag, sizeof wtag / sizeof wtag[0], tag);
    Formatted("src/formatted.c", 30, 3, wide, wtag, r, -r, 0xbeefu + (unsigned)r);

    unsigned char bytes[6] = {0x00, 0x0A, 0xFF, (unsigned char)r, 0x10, 0x00};
    RuntimeInfoToLogfileBinary("src/binary.c", 40, bytes, sizeof bytes, 0);

    RuntimeInfoToLogfileA("src/fallback.c", 50 + r, long_message, -1);

    snprintf(text, sizeof text, "%s_round_%d > 0", tag, r);
    AssertToLogfile("src/assert.c", 60, text);
    snprintf(text, sizeof text, "%s[%d]\t!= NULL", tag, r);
    AssertToLogfile("src/assert.c", 61, text);
    snprintf(text, sizeof text, "%s round %d &&\n    next->used", tag, r);
    AssertToLogfile("src/assert.c", 62, text);

    if (pause > 0 && r + 1 < rounds) Pause(pause);
  }
  printf("%d\n", rounds * kRecordsPerRound);
  return 0;
}
