// How fast `vqlog show` reads what the library writes, beside cat and grep
// over the same files. It writes the logs itself (one runtime and one assert
// log per child process, through the library), then runs each command with
// its output to /dev/null and prints wall time, MB/s and peak memory. The
// grep rows write to a file instead: grep stops at the first match when its
// output is /dev/null.
//   vqlog_read_bench --vqlog PATH [--dir DIR] [--megabytes 1000] [--pairs 10] [--rounds 3] [--keep]
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "vqlogger.h"

namespace {

constexpr const char* kNeedle = "needle-in-the-log";

struct Options {
  std::string vqlog;
  std::string dir = "build/reader/read-bench";
  long megabytes = 1000;
  int pairs = 10;
  int rounds = 3;
  bool keep = false;
};

int64_t FileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
}

// One child process: its runtime and assert logs, each `bytes` long. One
// record in 1000 holds the needle.
[[noreturn]] void WriteLogs(const std::string& dir, int64_t bytes, int seed) {
  char flag = 0;
  if (!InitializeLogger(&flag, 0, dir.c_str())) _exit(2);
  static const char* kWords[] = {"request", "served", "cache", "miss", "queue", "depth", "retry", "socket",
                                 "closed", "parser", "token", "commit", "flushed", "worker", "idle", "state"};
  int64_t runtime = 0, assert_bytes = 0;
  unsigned x = 2463534242u + static_cast<unsigned>(seed) * 7919u;
  std::string text;
  for (int64_t n = 0; runtime < bytes || assert_bytes < bytes; ++n) {
    text.clear();
    while (text.size() < 52) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      text += kWords[x % 16];
      text += ' ';
    }
    text += std::to_string(n);
    if (n % 1000 == 999) text += kNeedle;
    // About 100 bytes a line: time, thread, source, line, text, level.
    if (runtime < bytes) {
      RuntimeInfoToLogfileA("src/server/request.c", static_cast<int>(100 + n % 900), text.c_str(),
                            static_cast<int>(n % 5));
      runtime += 36 + 22 + 3 + static_cast<int64_t>(text.size()) + 2;
    }
    if (assert_bytes < bytes) {
      AssertToLogfile("src/server/check.c", static_cast<int>(100 + n % 900), text.c_str());
      assert_bytes += 36 + 20 + static_cast<int64_t>(text.size());
    }
  }
  _exit(0);
}

std::vector<std::string> LogFiles(const std::string& dir) {
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0) files.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

struct Run {
  double seconds = 0;
  double cpu_seconds = 0;  // user and system time of that best run
  long peak_kb = 0;
  std::string out;  // standard output, when captured
};

// Runs `args` with standard output to /dev/null (or captured), returns the
// best of `rounds` wall times and the largest peak RSS.
Run Measure(const std::vector<std::string>& args, int rounds, bool capture = false) {
  Run best;
  best.seconds = 1e30;
  for (int r = 0; r < rounds; ++r) {
    char out_path[] = "/tmp/vqlog_read_bench_XXXXXX";
    int out_fd = capture ? mkstemp(out_path) : open("/dev/null", O_WRONLY);
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
      dup2(out_fd, STDOUT_FILENO);
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    int status = 0;
    struct rusage usage;
    wait4(child, &status, 0, &usage);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && args[0] != "grep")) {
      std::fprintf(stderr, "%s exited with %d\n", args[0].c_str(), status);
    }
    if (seconds < best.seconds) {
      best.seconds = seconds;
      best.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    best.peak_kb = std::max(best.peak_kb, usage.ru_maxrss);
    if (capture) {
      std::ifstream in(out_path);
      best.out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      unlink(out_path);
    }
    close(out_fd);
  }
  return best;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--vqlog") o.vqlog = value();
    else if (a == "--dir") o.dir = value();
    else if (a == "--megabytes") o.megabytes = std::atol(value().c_str());
    else if (a == "--pairs") o.pairs = std::atoi(value().c_str());
    else if (a == "--rounds") o.rounds = std::atoi(value().c_str());
    else if (a == "--keep") o.keep = true;
    else {
      std::fprintf(stderr, "usage: %s --vqlog PATH [--dir DIR] [--megabytes N] [--pairs N] [--rounds N] [--keep]\n",
                   argv[0]);
      return 2;
    }
  }
  if (o.vqlog.empty() || o.pairs < 1 || o.megabytes < 1) {
    std::fprintf(stderr, "--vqlog is required\n");
    return 2;
  }
  std::string mkdir = "mkdir -p '" + o.dir + "'";
  if (std::system(mkdir.c_str()) != 0) return 1;

  std::vector<std::string> files = LogFiles(o.dir);
  if (files.empty()) {
    const int64_t per_file = o.megabytes * 1000 * 1000 / (2 * o.pairs);
    auto start = std::chrono::steady_clock::now();
    // Two writers at a time: one per core of the machine it was made for.
    for (int p = 0; p < o.pairs; p += 2) {
      std::vector<pid_t> children;
      for (int q = p; q < std::min(p + 2, o.pairs); ++q) {
        pid_t child = fork();
        if (child == 0) WriteLogs(o.dir, per_file, q);
        children.push_back(child);
      }
      for (pid_t c : children) waitpid(c, nullptr, 0);
    }
    files = LogFiles(o.dir);
    std::printf("wrote %zu logs in %.1f s\n", files.size(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  int64_t total = 0;
  for (const std::string& f : files) total += FileSize(f);
  const double megabytes = static_cast<double>(total) / 1e6;
  std::printf("%zu logs, %.1f MB, %d rounds (best time, largest peak); load average before: %s\n", files.size(),
              megabytes, o.rounds, LoadAverage().c_str());

  auto with_files = [&](std::vector<std::string> args) {
    args.insert(args.end(), files.begin(), files.end());
    return args;
  };
  struct Row {
    const char* name;
    std::vector<std::string> args;
    bool capture;
  };
  const Row rows[] = {
      {"cat", with_files({"cat"}), false},
      {"vqlog show --json", with_files({o.vqlog, "show", "--json"}), false},
      {"vqlog show (table)", with_files({o.vqlog, "show"}), false},
      {"grep -F -c", with_files({"grep", "-F", "-c", kNeedle}), true},
      {"vqlog show --grep", with_files({o.vqlog, "show", "--grep", kNeedle}), true},
  };
  // On a loaded machine wall time waits for a core; CPU time does not.
  std::printf("%-22s %9s %9s %9s %12s %10s\n", "command", "seconds", "MB/s", "CPU s", "MB/CPU-s", "peak MB");
  double grep_seconds = 0, show_grep_seconds = 0, grep_cpu = 0, show_grep_cpu = 0;
  for (const Row& row : rows) {
    Run run = Measure(row.args, o.rounds, row.capture);
    std::printf("%-22s %9.2f %9.0f %9.2f %12.0f %10.1f\n", row.name, run.seconds, megabytes / run.seconds,
                run.cpu_seconds, megabytes / std::max(run.cpu_seconds, 1e-3),
                static_cast<double>(run.peak_kb) / 1024.0);
    std::fflush(stdout);
    if (std::string(row.name) == "grep -F -c") {
      grep_seconds = run.seconds, grep_cpu = run.cpu_seconds;
      long matches = 0;
      for (size_t at = 0; (at = run.out.find(':', at)) != std::string::npos; ++at) matches += std::atol(&run.out[at + 1]);
      std::printf("%-22s %ld matching lines\n", "", matches);
    }
    if (std::string(row.name) == "vqlog show --grep") {
      show_grep_seconds = run.seconds, show_grep_cpu = run.cpu_seconds;
      long lines = static_cast<long>(std::count(run.out.begin(), run.out.end(), '\n'));
      std::printf("%-22s %ld lines (the header and one per record)\n", "", lines);
    }
  }
  std::printf("vqlog show --grep / grep -F -c: %.2f in wall time, %.2f in CPU time\n", show_grep_seconds / grep_seconds,
              show_grep_cpu / std::max(grep_cpu, 1e-3));
  std::printf("load average after: %s\n", LoadAverage().c_str());
  if (!o.keep) {
    for (const std::string& f : files) unlink(f.c_str());
    rmdir(o.dir.c_str());
  }
  return 0;
}
