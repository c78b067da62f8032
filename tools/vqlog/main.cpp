// vqlog: a command-line host of the vqlogger library. It writes records
// (write), reads and follows log files (show) and demonstrates every kind of
// record (demo).
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "console.h"
#include "demo_command.h"
#include "show_command.h"
#include "write_command.h"

namespace {

bool UseColor() { return vqlog::StdoutWantsColor(); }

void OnStopSignal(int) { vqlog::StopFollowing(); }

// Turns a --since/--until argument into a sort key.
std::optional<int64_t> TimeBound(const std::string& text, const char* option) {
  if (text.empty()) return std::nullopt;
  std::optional<vqlog::Timestamp> time = vqlog::ParseUserTime(text);
  if (!time) {
    throw CLI::ValidationError(option, "expected \"2026-12-8 9:5:3.7\" or \"2026-12-08T09:05:03.007\"");
  }
  return time->SortKey();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vqlog: writes, shows and demonstrates vqlogger log files"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "vqlog " VQLOG_VERSION);

  vqlog::WriteOptions write;
  std::optional<int> write_line;
  CLI::App* write_cmd = app.add_subcommand(
      "write", "Write one record per MESSAGE, or per line of standard input when none is given");
  write_cmd->add_option("--dir", write.dir, "Log directory passed to InitializeLogger (LOGGING_DIR wins)");
  write_cmd->add_option("--level", write.level, "Level of the runtime records");
  write_cmd->add_option("--source", write.source, "Source file name of the records")
      ->check([](const std::string& name) -> std::string {
        // The library cleans the message column only: either would break the line.
        if (name.find_first_of("\t\n") != std::string::npos) return "must not hold a tab or a line feed";
        return "";
      });
  write_cmd->add_option("--line", write_line, "Source line number (default: the message's number)");
  CLI::Option* assert_opt = write_cmd->add_flag("--assert", write.assert_records, "Write assertion records");
  CLI::Option* hex_opt = write_cmd->add_flag("--hex", write.hex, "Write each message's bytes as a binary record");
  assert_opt->excludes(hex_opt);
  write_cmd->add_flag("--print-paths", write.print_paths, "Print the paths of the runtime and assert logs");
  write_cmd->add_option("MESSAGE", write.messages, "Messages (or expressions with --assert)");

  vqlog::ShowOptions show;
  std::string level_range, since, until;
  std::optional<int64_t> thread;
  CLI::App* show_cmd = app.add_subcommand("show", "Show runtime and assert logs, merged in time order");
  show_cmd->add_flag("--json", show.json, "Print JSON Lines");
  show_cmd->add_option("--level", level_range, "Runtime levels MIN or MIN:MAX (assert records always pass)");
  show_cmd->add_option("--thread", thread, "Only records of this thread id");
  show_cmd->add_option("--grep", show.filter.grep, "Only records whose text or source file contains TEXT");
  show_cmd->add_option("--since", since, "Only records at or after TIME");
  show_cmd->add_option("--until", until, "Only records at or before TIME");
  show_cmd->add_flag("--follow,-f", show.follow, "Keep reading as records are appended");
  show_cmd->add_option("FILE", show.files, "Log files")->required()->check(CLI::ExistingFile);

  std::string demo_dir = "./vqlog-demo";
  CLI::App* demo_cmd = app.add_subcommand("demo", "Write records of every kind from several threads, then show them");
  demo_cmd->add_option("DIR", demo_dir, "Log directory (default ./vqlog-demo)");

  try {
    app.parse(argc, argv);
    if (show_cmd->parsed()) {
      if (!level_range.empty() && !vqlog::ParseLevelRange(level_range, show.filter)) {
        throw CLI::ValidationError("--level", "expected MIN or MIN:MAX");
      }
      show.filter.thread = thread;
      show.filter.since = TimeBound(since, "--since");
      show.filter.until = TimeBound(until, "--until");
    }
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  if (write_cmd->parsed()) {
    write.line = write_line;
    vqlog::UseBinaryStandardInput();
    return vqlog::RunWrite(write, std::cin, vqlog::StandardOutput(), std::cerr);
  }
  if (show_cmd->parsed()) {
    show.color = !show.json && UseColor();
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    vqlog::UseBinaryStandardInput();
    return vqlog::RunShow(show, vqlog::StandardOutput(), std::cerr);
  }
  return vqlog::RunDemo(demo_dir, UseColor(), vqlog::StandardOutput(), std::cerr);
}
