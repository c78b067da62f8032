// Helpers of the tool and helper-header tests: logs written by another
// process (whose name and thread ids the test does not know), and running
// vqlog.
#ifndef VQLOGGER_TESTS_TOOLS_TOOL_TEST_SUPPORT_H_
#define VQLOGGER_TESTS_TOOLS_TOOL_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace vqtest {

// The one file in `dir` whose name ends with `suffix`; a test failure and ""
// unless there is exactly one.
inline std::string OnlyFileEndingWith(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      found.push_back(entry.path().string());
    }
  }
  if (found.size() != 1) {
    ADD_FAILURE() << found.size() << " files ending with " << suffix << " in " << dir;
    return "";
  }
  return found[0];
}

// The record lines of a log, each without its time stamp and thread columns
// (checked for form) and without its CR LF: "a.c\t1\tmessage\t-1".
inline std::vector<std::string> RecordsWithoutTimeAndThread(const std::string& path, const char* first_line) {
  std::vector<std::string> records;
  for (std::string line : RecordLines(path, first_line)) {
    size_t tab1 = line.find('\t');
    size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string::npos || !IsWellFormedTimestamp(line.substr(0, tab1)) ||
        line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
      ADD_FAILURE() << "not a record line: " << line;
      continue;
    }
    records.push_back(line.substr(tab2 + 1, line.size() - 2 - (tab2 + 1)));
  }
  return records;
}

// A word for the POSIX shell.
inline std::string ShellQuote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

#ifndef _WIN32
struct ToolRun {
  int status = -1;  // exit status
  std::string out, err;
};

// Runs `program` with `args` through the shell, feeding it `input`, without
// the library's environment variables but with `env` ("NAME=value ...",
// already quoted).
inline ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::string& input = "", const std::string& env = "") {
  ScratchDir io;
  WriteFileBytes(io.Join("in"), input);
  std::string command = "env -u LOGGING_DIR -u LOGGING_ENABLED_RUNTIME -u LOGGING_ENABLED_ASSERT " + env +
                        " " + ShellQuote(program);
  for (const std::string& arg : args) command += " " + ShellQuote(arg);
  command += " <" + ShellQuote(io.Join("in")) + " >" + ShellQuote(io.Join("out")) + " 2>" +
             ShellQuote(io.Join("err"));
  ToolRun run;
  int raw = std::system(command.c_str());
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = ReadFileBytes(io.Join("out"));
  run.err = ReadFileBytes(io.Join("err"));
  return run;
}
#endif

}  // namespace vqtest

#endif  // VQLOGGER_TESTS_TOOLS_TOOL_TEST_SUPPORT_H_
