#include "vqlogger.h"

int main(void) {
  (void)GetLoggingLevel();
  return 0;
}
