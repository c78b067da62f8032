/* A small vqlogger host in C: start the library, log through the helper
 * macros, and leave the two log files behind.
 *
 *   example_host [DIRECTORY]     (default: the temporary directory)
 */
#include <stdio.h>

#include <vqlogger_helpers.h>

static char assert_flag; /* filled in by InitializeLogger */

static int parse_port(const char *text) {
  int port = 0;
  VQ_ASSERT(assert_flag, text != NULL);
  if (text == NULL) return -1;
  for (; *text >= '0' && *text <= '9'; ++text) port = port * 10 + (*text - '0');
  VQ_ASSERT(assert_flag, port > 0 && port < 65536);
  return port;
}

int main(int argc, char **argv) {
  /* Level 2: runtime records of level 2 and below are issued, and
   * assertions are recorded (any positive level turns them on). */
  if (!InitializeLogger(&assert_flag, 2, argc > 1 ? argv[1] : NULL)) {
    fprintf(stderr, "example_host: the log files could not be created\n");
    return 1;
  }
  VQ_LOG_TEXT(1, "example host started");
  int port = parse_port("80");
  VQ_LOG(2, VQ_WTEXT("listening on port %d (%s)"), port, VQ_WTEXT("http"));
  VQ_LOG(3, VQ_WTEXT("not issued at level 2: %d"), port);
  parse_port("99999"); /* fails the range assertion: one assert record */

  const unsigned char packet[] = {0x16, 0x03, 0x01, 0x00, 0xA5};
  if (VqLevelIssued(2)) RuntimeInfoToLogfileBinary(__FILE__, __LINE__, packet, sizeof packet, 2);
  return 0;
}
