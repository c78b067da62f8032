#include "log_paths.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace vqlog {

namespace fs = std::filesystem;

std::string TempDirectory() {
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir != nullptr && tmpdir[0] != '\0' && std::strlen(tmpdir) < 259) return tmpdir;
  return "/tmp";
}

std::string ExecutableBaseName() {
  std::error_code ec;
  std::string name = fs::read_symlink("/proc/self/exe", ec).filename().string();
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
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
  return FindNewestLog(CandidateDirectories(host_dir), ExecutableBaseName(), static_cast<long>(getpid()),
                       suffix);
}

}  // namespace vqlog
