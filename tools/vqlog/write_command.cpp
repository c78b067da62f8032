#include "write_command.h"

#include <vqlogger.h>

#include "log_paths.h"

namespace vqlog {

int RunWrite(const WriteOptions& options, std::istream& in, std::ostream& out, std::ostream& err) {
  char assert_flag = 0;
  if (!InitializeLogger(&assert_flag, 0, options.dir.empty() ? nullptr : options.dir.c_str())) {
    err << "vqlog: the library could not create its log files (InitializeLogger returned false)\n";
    return 1;
  }
  int number = 0;
  auto write = [&](const std::string& message) {
    ++number;
    const char* source = options.source.c_str();
    int line = options.line.value_or(number);
    if (options.assert_records) {
      AssertToLogfile(source, line, message.c_str());
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
      if (!line.empty() && line.back() == '\r') line.pop_back();
      write(line);
    }
  }
  if (options.print_paths) {
    out << FindOwnLog(options.dir, "_runtime.log") << "\n" << FindOwnLog(options.dir, "_assert.log") << "\n";
  }
  return 0;
}

}  // namespace vqlog
