#include "log_paths.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace vqlog {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

std::string TempDirectory() {
#ifdef _WIN32
  char buffer[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof buffer, buffer);
  if (length == 0 || length > MAX_PATH) return ".";
  std::string dir(buffer, length);
  // "C:\Temp\" loses its backslash; "C:\" keeps it.
  if (dir.size() > 1 && dir.back() == '\\' && !(dir.size() == 3 && dir[1] == ':')) dir.pop_back();
  return dir;
#else
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir != nullptr && tmpdir[0] != '\0' && std::strlen(tmpdir) < 259) return tmpdir;
  return "/tmp";
#endif
}

std::vector<std::string> LoggingDirCandidates(const std::string& dir) {
  const std::string temp = TempDirectory();
  std::error_code ec;
  if (dir.empty() || dir.size() > kMaxDirectoryLength || !fs::is_directory(fs::path(dir), ec)) return {temp};
  bool created_whole = fs::path(dir).is_absolute() && dir.back() != kSeparator &&
                       dir.find(std::string(2, kSeparator)) == std::string::npos;
#ifdef _WIN32
  created_whole = created_whole && dir.find('/') == std::string::npos;  // the library splits at '\\' only
#endif
  if (created_whole || fs::equivalent(fs::path(dir), fs::path(temp), ec)) return {dir};
  return {dir, temp};
}

std::string ExecutableBaseName() {
#ifdef _WIN32
  char buffer[MAX_PATH + 1];
  DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  std::string name(buffer, length < MAX_PATH ? length : 0);
  size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
#else
  std::error_code ec;
  std::string name = fs::read_symlink("/proc/self/exe", ec).filename().string();
#endif
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

long CurrentProcessId() {
#ifdef _WIN32
  // The library prints the DWORD with "%d".
  return static_cast<long>(static_cast<int>(GetCurrentProcessId()));
#else
  return static_cast<long>(getpid());
#endif
}

std::vector<std::string> CandidateDirectories(const std::string& host_dir) {
  std::vector<std::string> dirs;
  const char* env = std::getenv("LOGGING_DIR");
  if (env != nullptr && env[0] != '\0') dirs.push_back(env);
  if (!host_dir.empty()) dirs.push_back(host_dir);
  dirs.push_back(TempDirectory());
  return dirs;
}

std::string FindNewestLog(const std::vector<std::string>& dirs, const std::string& base, long pid,
                          const std::string& suffix) {
  const std::string prefix = base + "_" + std::to_string(pid) + "_";
  std::string best;
  fs::file_time_type best_time{};
  for (const std::string& dir : dirs) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      if (name.size() < prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        continue;
      }
      std::error_code time_ec;
      fs::file_time_type time = fs::last_write_time(it->path(), time_ec);
      if (!time_ec && (best.empty() || time > best_time)) {
        best = it->path().string();
        best_time = time;
      }
    }
  }
  return best;
}

std::string FindOwnLog(const std::string& host_dir, const std::string& suffix) {
  return FindNewestLog(CandidateDirectories(host_dir), ExecutableBaseName(), CurrentProcessId(), suffix);
}

std::string AbsoluteDirectory(const std::string& dir) {
  if (dir.empty()) return dir;
  std::error_code ec;
  fs::path path = fs::absolute(fs::path(dir), ec);
  if (ec) path = fs::path(dir);
  path = path.lexically_normal();
  path.make_preferred();
  std::string text = path.string();
  // lexically_normal keeps a trailing separator ("a/b/" gives "a/b/"), and
  // a root keeps its own.
  while (text.size() > 1 && text.back() == kSeparator && fs::path(text) != fs::path(text).root_path()) {
    text.pop_back();
  }
  return text;
}

namespace {

// Whether a file can be created in `dir`: the one test that means the same
// on every platform and under every kind of permission.
bool CanCreateFileIn(const std::string& dir) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path probe =
        fs::path(dir) / (".vqlog-probe-" + std::to_string(CurrentProcessId()) + "-" + std::to_string(attempt));
    std::error_code ec;
    if (fs::exists(probe, ec)) continue;  // someone else's: never touched
    bool created = static_cast<bool>(std::ofstream(probe, std::ios::binary));
    if (created) fs::remove(probe, ec);
    return created;
  }
  return false;
}

// What is wrong with `dir` as a log directory, or "" when it looks usable.
std::string DirectoryProblem(const std::string& dir) {
  std::error_code ec;
  fs::file_status status = fs::status(fs::path(dir), ec);
  if (!fs::exists(status)) return "";
  if (fs::is_regular_file(status)) return "names a regular file";
  if (!fs::is_directory(status)) return "names something that is not a directory";
  if (!CanCreateFileIn(dir)) return "names a directory that is not writable";
  return "";
}

}  // namespace

std::string InitializeFailureReason(const std::string& option, const std::string& dir) {
  std::string chosen = dir, what = option;
  const char* env = std::getenv("LOGGING_DIR");
  if (env != nullptr) {
    chosen = env;
    what = "LOGGING_DIR";
  }
  if (!chosen.empty()) {
    std::string problem = DirectoryProblem(chosen);
    if (!problem.empty()) return what + " " + problem + ": " + chosen;
  }
  // The library went on to the temporary directory.
  const std::string temp = TempDirectory();
  std::error_code ec;
  if (!fs::is_directory(fs::path(temp), ec)) return "the temporary directory does not exist: " + temp;
  if (!CanCreateFileIn(temp)) return "the temporary directory is not writable: " + temp;
  return "the library could not create its log files (InitializeLogger returned false)";
}

}  // namespace vqlog
