/* A C host of the helper header: logs into the directory it is given. */
#include "helpers_exercise.h"

int main(int argc, char **argv) {
  char assert_flag = 0;
  if (argc < 2 || !InitializeLogger(&assert_flag, 1, argv[1])) return 1;
  ExerciseHelpers(assert_flag);
  return 0;
}
