/* Compiled as C11: the public header must stay valid C, and a C host must
 * be able to call every export. */
#include "vqlogger.h"

#include <stdio.h>

static void Formatted(const char *file, int line, int level, const VqWideChar *format, ...) {
  va_list args;
  va_start(args, format);
  RuntimeInfoToLogfileArglist(file, line, format, level, args);
  va_end(args);
}

int main(void) {
  /* Before InitializeLogger every record export returns without effect. */
  static const unsigned char bytes[] = {0x00, 0x0A, 0xFF, 0x10};
  static const VqWideChar wide[] = {'w', 0};
  static const VqWideChar format[] = {'%', 'd', 0};
  AssertToLogfile("c.c", 1, "x");
  RuntimeInfoToLogfileA("c.c", 2, "m", 1);
  RuntimeInfoToLogfile("c.c", 3, wide, 1);
  Formatted("c.c", 4, 1, format, 5);
  RuntimeInfoToLogfileBinary("c.c", 5, bytes, 4, 1);
  SetLoggingLevel(3);
  if (GetLoggingLevel() != 0) {
    fprintf(stderr, "level before InitializeLogger: %d\n", GetLoggingLevel());
    return 1;
  }
  return 0;
}
