// vqlog on checked-in logs gives, byte for byte, the output checked in
// beside them. The same test runs natively and, in the Windows builds, with
// vqlog.exe under wine, so both give the same bytes. The logs were written
// by the library (see data/regenerate.sh); vqlog runs in data/ with relative
// names, so the paths in its output are the same on every platform.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tool_test_support.h"

namespace {

struct Output {
  int status = -1;
  std::string out, err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs vqlog with `args` in `cwd`, its output into files (not through a
// pipe or a terminal, which could change line ends), and the environment
// variable `env_name` set to `env_value` when given.
Output RunVqlog(const std::string& cwd, const std::vector<std::string>& args, const char* env_name = nullptr,
                const std::string& env_value = "", const std::string& input = "") {
  vqtest::ScratchDir io;
  const std::string out_path = io.Join("out"), err_path = io.Join("err"), in_path = io.Join("in");
  vqtest::WriteFileBytes(in_path, input);
  Output result;
#ifdef _WIN32
  std::string command = "\"" + std::string(VQLOG_PATH) + "\"";
  for (const std::string& arg : args) command += " \"" + arg + "\"";
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileA(out_path.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE err = CreateFileA(err_path.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE in = CreateFileA(in_path.c_str(), GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  vqtest::UnsetEnv("LOGGING_DIR");
  if (env_name != nullptr) vqtest::SetEnv(env_name, env_value.c_str());
  PROCESS_INFORMATION process = {};
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  char full_cwd[MAX_PATH];
  GetFullPathNameA(cwd.c_str(), MAX_PATH, full_cwd, nullptr);
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, full_cwd, &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.status = static_cast<int>(code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(out);
  CloseHandle(err);
  CloseHandle(in);
#else
  std::string command = "cd '" + cwd + "' && env -u LOGGING_DIR ";
  if (env_name != nullptr) command += std::string(env_name) + "='" + env_value + "' ";
  command += "'" + std::string(VQLOG_PATH) + "'";
  for (const std::string& arg : args) command += " '" + arg + "'";
  command += " <'" + in_path + "' >'" + out_path + "' 2>'" + err_path + "'";
  int raw = std::system(command.c_str());
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
  result.out = ReadAll(out_path);
  result.err = ReadAll(err_path);
  return result;
}

const std::string kData = VQLOG_DATA_DIR;

TEST(VqlogSameOutputTest, ShowAndLsGiveTheCheckedInBytes) {
  const struct {
    std::vector<std::string> args;
    const char* expected_out;
    const char* expected_err;  // nullptr: not compared (the reader's own counts)
  } kCases[] = {
      {{"ls", "--json", "logs"}, "expected/ls.jsonl", "expected/ls.err"},
      {{"ls", "logs"}, "expected/ls.txt", "expected/ls.err"},
      {{"ls", "--json", "--exe", "svc", "--last", "1", "logs"}, "expected/ls-svc-last.jsonl", nullptr},
      {{"show", "--json", "logs/app.main_4242_2026-12-8-9-5-3_runtime.log",
        "logs/app.main_4242_2026-12-8-9-5-4_assert.log", "logs/svc_78_2026-12-8-10-0-0_runtime.log"},
       "expected/show.jsonl", nullptr},
      {{"show", "--json", "store"}, "expected/show-store.jsonl", nullptr},
      {{"ls", "--json", "store"}, "expected/ls-store.jsonl", nullptr},
  };
  for (const auto& c : kCases) {
    Output run = RunVqlog(kData, c.args);
    EXPECT_EQ(run.out, ReadAll(kData + "/" + c.expected_out))
        << c.expected_out << " (after a deliberate change of the output: tests/tools/data/regenerate.sh)";
    if (c.expected_err != nullptr) {
      // Messages end their lines the platform's way.
      std::string err = run.err;
      for (size_t at; (at = err.find("\r\n")) != std::string::npos;) err.erase(at, 1);
      EXPECT_EQ(err, ReadAll(kData + "/" + c.expected_err)) << c.expected_err;
    }
  }
}

// The platform's own forms of a path: an absolute directory (on Windows with
// its drive letter and backslashes), and the temporary directory that ls
// reads when named nothing (TMPDIR; on Windows GetTempPath, from TMP).
TEST(VqlogSameOutputTest, AbsoluteAndDefaultDirectoriesListTheSameRows) {
#ifdef _WIN32
  char full[MAX_PATH];
  std::string logs_dir(full, GetFullPathNameA((kData + "/logs").c_str(), MAX_PATH, full, nullptr));
  for (char& c : logs_dir) c = c == '/' ? '\\' : c;
  // How the directory's files appear in JSON: backslashes escaped.
  std::string in_json;
  for (char c : logs_dir + "\\") in_json += c == '\\' ? std::string("\\\\") : std::string(1, c);
  const char* temp_variable = "TMP";
  ASSERT_EQ(logs_dir.substr(1, 2), ":\\");
#else
  std::string logs_dir = kData + "/logs";
  std::string in_json = logs_dir + "/";
  const char* temp_variable = "TMPDIR";
#endif
  const std::string expected = ReadAll(kData + "/expected/ls.jsonl");
  const struct {
    std::vector<std::string> args;
    const char* env;
  } kCases[] = {
      {{"ls", "--json", logs_dir}, nullptr},
      {{"ls", "--json"}, temp_variable},
  };
  for (const auto& c : kCases) {
    Output run = RunVqlog(kData, c.args, c.env, logs_dir);
    std::string out = run.out;
    for (size_t at; (at = out.find(in_json)) != std::string::npos;) out.replace(at, in_json.size(), "logs/");
    EXPECT_EQ(out, expected) << (c.env ? c.env : logs_dir);
    EXPECT_EQ(run.status, 0) << run.err;
  }
}

// write through the library: a relative --dir made absolute in the platform's
// form (on Windows the library takes only backslashes as separators), and
// standard input read as bytes (no CR LF translation on Windows).
TEST(VqlogSameOutputTest, WriteGoesWhereItIsPointedWithEveryByte) {
  vqtest::ScratchDir cwd;
  Output run = RunVqlog(cwd.path(), {"write", "--dir", "out/sub", "--source", "s.c", "--hex", "--print-paths"},
                        nullptr, "", std::string("a\r\nb\0c\r\n", 8));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::string dir = cwd.Join("out/sub");
  const std::string runtime = vqtest::OnlyFileEndingWith(dir, "_runtime.log");
  const std::string assert_log = vqtest::OnlyFileEndingWith(dir, "_assert.log");
  ASSERT_FALSE(runtime.empty());
  // The printed paths name those files, whatever form the tool gave them.
  std::vector<std::string> printed = vqtest::SplitLines(run.out);
  ASSERT_EQ(printed.size(), 2u) << run.out;
  for (std::string& line : printed) {
    ASSERT_EQ(line.back(), '\n');  // a line feed alone ends a line on every platform
    line.pop_back();
  }
  EXPECT_TRUE(std::filesystem::equivalent(printed[0], runtime)) << printed[0];
  EXPECT_TRUE(std::filesystem::equivalent(printed[1], assert_log)) << printed[1];
  EXPECT_EQ(vqtest::RecordsWithoutTimeAndThread(runtime, vqtest::kRuntimeFirstLine),
            (std::vector<std::string>{"s.c\t1\t610D\t0", "s.c\t2\t6200630D\t0"}));
}

}  // namespace
