/* Records written through the helper header, compiled both as C (by
 * helpers_c_host.c) and as C++ (by helpers_test.cpp), which checks them. The
 * #line below fixes __FILE__ and __LINE__ so both agree. */
#ifndef VQLOGGER_TESTS_TOOLS_HELPERS_EXERCISE_H_
#define VQLOGGER_TESTS_TOOLS_HELPERS_EXERCISE_H_

#include <vqlogger_helpers.h>

#line 1 "exercise.c"
static void ExerciseHelpers(char assert_flag) {
  char off = 0;
  int evaluated = 0;
  SetLoggingLevel(2);
  VQ_LOG(1, VQ_WTEXT("level %d of %d"), 1, GetLoggingLevel());
  VQ_LOG(2, VQ_WTEXT("[%-4s|%04x]"), VQ_WTEXT("ab"), 0xBEEFu);
  VQ_LOG(3, VQ_WTEXT("above the level"));
  VQ_LOG_TEXT(-5, "narrow, negative level");
  VQ_ASSERT(assert_flag, 1 + 1 == 3);
  VQ_ASSERT(assert_flag, 2 > 1);
  VQ_ASSERT(off, (evaluated = 1) == 0);
  VQ_LOG(0, VQ_WTEXT("evaluated=%d"), evaluated);
  SetLoggingLevel(0);
  VQ_LOG(-1, VQ_WTEXT("runtime records off"));
  VQ_LOG_TEXT(0, "runtime records off");
  VqLogFormat("direct.c", 7, 9, VQ_WTEXT("%5d|"), 42);
}

#endif /* VQLOGGER_TESTS_TOOLS_HELPERS_EXERCISE_H_ */
