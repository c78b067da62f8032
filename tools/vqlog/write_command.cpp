#include "write_command.h"

#include <vqlogger.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "console.h"
#include "log_paths.h"

namespace vqlog {

namespace {

// Size of `path`, or -1 when it cannot be read.
long long FileSize(const std::string& path) {
  std::error_code ec;
  auto size = std::filesystem::file_size(std::filesystem::path(path), ec);
  return ec ? -1 : static_cast<long long>(size);
}

}  // namespace

int RunWrite(const WriteOptions& options, std::istream& in, std::ostream& out, std::ostream& err) {
  const std::string dir = AbsoluteDirectory(options.dir);
  const bool dir_counts = !dir.empty() && std::getenv("LOGGING_DIR") == nullptr;
  if (dir_counts && dir.size() > kMaxDirectoryLength) {
    err << "vqlog: --dir is longer than " << kMaxDirectoryLength
        << " bytes: the library puts the logs in the temporary directory\n";
  }
  char assert_flag = 0;
  if (!InitializeLogger(&assert_flag, 0, dir.empty() ? nullptr : dir.c_str())) {
    err << "vqlog: " << TerminalSafe(InitializeFailureReason("--dir", dir)) << "\n";
    return 1;
  }
  std::error_code ec;
  if (dir_counts && dir.size() <= kMaxDirectoryLength && !std::filesystem::is_directory(dir, ec)) {
    err << "vqlog: --dir could not be created: the library put the logs in the temporary directory\n";
  }

  // The library drops an assert record too long for a line without a trace;
  // the file not growing tells.
  const std::string assert_log = options.assert_records ? FindOwnLog(dir, "_assert.log") : "";
  int number = 0;
  auto write = [&](const std::string& message) {
    ++number;
    const char* source = options.source.c_str();
    int line = options.line.value_or(number);
    if (!options.hex && message.find('\0') != std::string::npos) {
      err << "vqlog: message " << number
          << " holds a NUL byte: the library takes the text before it (--hex writes every byte)\n";
    }
    if (options.assert_records) {
      long long before = FileSize(assert_log);
      AssertToLogfile(source, line, message.c_str());
      if (before >= 0 && FileSize(assert_log) == before) {
        err << "vqlog: expression " << number << " was not written: the library drops an assert record"
            << " longer than a line (5095 bytes)\n";
      }
    } else if (options.hex) {
      RuntimeInfoToLogfileBinary(source, line, message.data(), static_cast<unsigned>(message.size()),
                                 options.level);
    } else {
      RuntimeInfoToLogfileA(source, line, message.c_str(), options.level);
    }
  };
  if (!options.messages.empty()) {
    for (const std::string& message : options.messages) write(message);
  } else {
    for (std::string line; std::getline(in, line);) {
      // A CR LF line end is a line end, except for bytes written as they are.
      if (!options.hex && !line.empty() && line.back() == '\r') line.pop_back();
      write(line);
    }
  }
  if (options.print_paths) {
    out << FindOwnLog(dir, "_runtime.log") << "\n" << FindOwnLog(dir, "_assert.log") << "\n";
  }
  return 0;
}

}  // namespace vqlog
