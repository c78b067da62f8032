/* Uses both installed headers; logs one record of each kind into argv[1]. */
#include <vqlogger_helpers.h>

int main(int argc, char **argv) {
  char assert_flag = 0;
  if (argc < 2 || !InitializeLogger(&assert_flag, 1, argv[1])) return 1;
  VQ_LOG(1, VQ_WTEXT("consumer %d"), 42);
  VQ_ASSERT(assert_flag, argc == 0);
  return 0;
}
