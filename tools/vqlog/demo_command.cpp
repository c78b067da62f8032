#include "demo_command.h"

#include <vqlogger_helpers.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <thread>
#endif

#include <string>
#include <vector>

#include "console.h"
#include "log_paths.h"
#include "show_command.h"

namespace vqlog {
namespace {

// `utf8` in the encoding the library reads narrow text in: the ANSI code
// page on Windows, UTF-8 elsewhere.
std::string NarrowText(const std::string& utf8) {
#ifdef _WIN32
  int wide_length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], wide_length);
  int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), wide_length, &text[0], length, nullptr, nullptr);
  return text;
#else
  return utf8;
#endif
}

// What each worker thread logs: a narrow, a wide, a formatted and a binary
// runtime record, and one failed assertion.
void Worker(int id, char assert_flag) {
  std::string narrow = NarrowText("worker " + std::to_string(id) + " started (narrow text, caf\xC3\xA9)");
  RuntimeInfoToLogfileA(__FILE__, __LINE__, narrow.c_str(), 1);
  RuntimeInfoToLogfile(__FILE__, __LINE__, VQ_WTEXT("wide text: \u00E9t\u00E9, \u2713, \u65E5\u672C"), 2);
  VQ_LOG(2, VQ_WTEXT("formatted: id=%d hex=%#06x name=[%-6s] pct=%3u"), id, 0xBEEF + id, VQ_WTEXT("vq"),
         25u * static_cast<unsigned>(id));
  const unsigned char block[] = {0x00, 0x0A, 0xFF, 0x10, static_cast<unsigned char>(id)};
  RuntimeInfoToLogfileBinary(__FILE__, __LINE__, block, sizeof block, 3);
  int queue_depth = id;
  VQ_ASSERT(assert_flag, queue_depth > 3);
  VQ_LOG(9, VQ_WTEXT("level 9 is above the current level: not issued"));
}

#ifdef _WIN32
// The shipping toolchain has no std::thread: the workers are Windows threads.
struct WorkerArgs {
  int id;
  char assert_flag;
};

DWORD WINAPI WorkerThread(LPVOID param) {
  const WorkerArgs* args = static_cast<const WorkerArgs*>(param);
  Worker(args->id, args->assert_flag);
  return 0;
}

void RunWorkers(int count, char assert_flag) {
  std::vector<WorkerArgs> args;
  for (int id = 0; id < count; ++id) args.push_back({id, assert_flag});
  std::vector<HANDLE> threads;
  for (WorkerArgs& a : args) {
    HANDLE t = CreateThread(nullptr, 0, WorkerThread, &a, 0, nullptr);
    if (t != nullptr) {
      threads.push_back(t);
    } else {
      Worker(a.id, a.assert_flag);
    }
  }
  for (HANDLE t : threads) {
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
  }
}
#else
void RunWorkers(int count, char assert_flag) {
  std::vector<std::thread> workers;
  for (int id = 0; id < count; ++id) workers.emplace_back(Worker, id, assert_flag);
  for (std::thread& t : workers) t.join();
}
#endif

}  // namespace

int RunDemo(const std::string& given_dir, bool color, std::ostream& out, std::ostream& err) {
  const std::string dir = AbsoluteDirectory(given_dir);
  char assert_flag = 0;
  // A positive level sets the runtime level to 3 (unless
  // LOGGING_ENABLED_RUNTIME says otherwise) and turns assertions on.
  if (!InitializeLogger(&assert_flag, 3, dir.c_str())) {
    err << "vqlog: " << TerminalSafe(InitializeFailureReason("DIR", dir)) << "\n";
    return 1;
  }
  RunWorkers(4, assert_flag);

  // A message of 4000 bytes is too long for a record: the library writes its
  // fallback line in its place.
  std::string too_long(4000, 'x');
  RuntimeInfoToLogfileA(__FILE__, __LINE__, too_long.c_str(), -1);
  // Expressions are written unchanged, tabs and line feeds included.
  AssertToLogfile(__FILE__, __LINE__, "table[i]\t!= NULL &&\n    table[i]->used");

  std::string runtime_log = FindOwnLog(dir, "_runtime.log");
  std::string assert_log = FindOwnLog(dir, "_assert.log");
  out << "vqlog demo: runtime level " << GetLoggingLevel() << ", assert flag " << int{assert_flag} << "\n"
      << "  runtime log: " << runtime_log << "\n"
      << "  assert log:  " << assert_log << "\n\n";
  out.flush();
  ShowOptions show;
  show.files = {runtime_log, assert_log};
  show.color = color;
  return RunShow(show, out, err);
}

}  // namespace vqlog
