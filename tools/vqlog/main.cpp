// vqlog: a command-line host of the vqlogger library. It writes records
// (write), reads and follows log files (show) and demonstrates every kind of
// record (demo).
#include <CLI/CLI.hpp>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "console.h"
#include "demo_command.h"
#include "input_source.h"
#include "log_discovery.h"
#include "ls_command.h"
#include "rsyslog_parse_command.h"
#include "show_command.h"
#ifdef VQLOG_WITH_SHIP
#include "ship_command.h"
#endif
#include "write_command.h"

namespace {

bool UseColor() { return vqlog::StdoutWantsColor(); }

// A check that takes decimal digits alone (no sign, no space) of a value
// from `min` to `max`, and says so in one line otherwise.
CLI::Validator WholeNumber(uint64_t min, uint64_t max) {
  const std::string expected = "expected a whole number from " + std::to_string(min) + " to " + std::to_string(max);
  return CLI::Validator(
      [=](const std::string& text) -> std::string {
        uint64_t value = 0;
        if (text.empty() || text.size() > 19) return expected;
        for (char c : text) {
          if (c < '0' || c > '9') return expected;
          value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        return value < min || value > max ? expected : std::string();
      },
      "");
}

// The selectors read from log names. A process id is a 32-bit number (the
// library writes it with "%d", so a large one may show as negative).
void AddLogSelectors(CLI::App* command, vqlog::LogSelection& selection) {
  command->add_option("--exe", selection.exe, "Only logs of the executable NAME (its name without extension)");
  command->add_option("--pid", selection.pid, "Only logs of process id N")->check(WholeNumber(0, 4294967295u));
  command->add_option("--last", selection.last, "Only the N most recently started processes")
      ->check(WholeNumber(1, 1000000000u));
  command->add_option("--host", selection.host,
                      "Only central store records whose host (the name the edge claims) or peer (its address) is "
                      "NAME");
}

// Turns a --since/--until argument into a time; a date that does not exist
// (2026-2-31) is refused.
std::optional<vqlog::Timestamp> TimeBound(const std::optional<std::string>& text, const char* option) {
  if (!text) return std::nullopt;
  std::optional<vqlog::Timestamp> time = vqlog::ParseUserTime(*text);
  if (!time) {
    throw CLI::ValidationError(option, "expected an existing date and time such as \"2026-12-8 9:5:3.7\" or "
                                       "\"2026-12-08T09:05:03.007\"");
  }
  return time;
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
  std::optional<std::string> level_range, since, until;
  std::optional<int64_t> thread;
  CLI::App* show_cmd = app.add_subcommand("show", "Show runtime and assert logs, merged in time order");
  show_cmd->add_flag("--json", show.json, "Print JSON Lines");
  show_cmd->add_option("--level", level_range, "Runtime levels MIN or MIN:MAX (assert records always pass)");
  show_cmd->add_option("--thread", thread, "Only records of this thread id");
  show_cmd->add_option("--grep", show.filter.grep, "Only records whose text or source file contains TEXT");
  show_cmd->add_option("--since", since, "Only records at or after TIME");
  show_cmd->add_option("--until", until, "Only records at or before TIME");
  show_cmd->add_flag("--follow,-f", show.follow, "Keep reading as records are appended");
  AddLogSelectors(show_cmd, show.selection);
  show_cmd->add_option("FILE", show.selection.operands,
                       "Log files, central store files (*.jsonl), directories of either, or - for standard input "
                       "(default: LOGGING_DIR, else the temporary directory)");

  std::string demo_dir = "./vqlog-demo";
  CLI::App* demo_cmd = app.add_subcommand("demo", "Write records of every kind from several threads, then show them");
  demo_cmd->add_option("DIR", demo_dir, "Log directory (default ./vqlog-demo)");

  vqlog::LsOptions ls;
  CLI::App* ls_cmd = app.add_subcommand(
      "ls", "List one row per process: exe, pid, start, record counts, first and last record time, bytes");
  ls_cmd->add_flag("--json", ls.json, "Print JSON Lines");
  AddLogSelectors(ls_cmd, ls.selection);
  ls_cmd->add_option("DIR|FILE", ls.selection.operands,
                     "Log directories or files (default: LOGGING_DIR, else the temporary directory)");

#ifdef VQLOG_WITH_SHIP
  vqlog::ShipOptions ship;
  std::string ship_to;
  CLI::App* ship_cmd = app.add_subcommand(
      "ship", "Follow the logs and send every record to the fleet's central (RELP over TLS), each once");
  ship_cmd->add_option("--to", ship_to, "The central's listener HOST:PORT (its certificate must name HOST)")
      ->required();
  ship_cmd->add_option("--ca", ship.tls.ca_file, "PEM file of the fleet's CA")->required();
#ifdef _WIN32
  // Windows: a PEM pair, a PKCS#12 file alone (its password in the
  // environment variable VQLOG_PKCS12_PASSWORD, never on the command line),
  // or a certificate in the MY store of the user or the machine.
  CLI::Option* cert_opt = ship_cmd->add_option(
      "--cert", ship.tls.cert_file, "PEM file of this machine's certificate, or a .p12/.pfx file alone");
  ship_cmd->add_option("--key", ship.tls.key_file, "PEM file of its private key (not with a .p12/.pfx)")
      ->needs(cert_opt);
  CLI::Option* store_opt = ship_cmd->add_option(
      "--cert-store", ship.tls.cert_store,
      "The certificate in a MY store instead: user:SUBJECT or machine:SUBJECT");
  store_opt->excludes(cert_opt);
  if (const char* password = std::getenv("VQLOG_PKCS12_PASSWORD")) ship.tls.pkcs12_password = password;
#else
  ship_cmd->add_option("--cert", ship.tls.cert_file, "PEM file of this machine's certificate")->required();
  ship_cmd->add_option("--key", ship.tls.key_file, "PEM file of its private key")->required();
#endif
  ship_cmd->add_option("--state", ship.state_file,
                       "State file: how far the central acknowledged each log (default: "
                       "$XDG_STATE_HOME or ~/.local/state, vqlog/ship-HOST-PORT.state)");
  ship_cmd->add_option("--host", ship.host_name, "Host name the messages carry (default: this machine's name)")
      ->check([](const std::string& name) -> std::string {
        return vqlog::ValidSyslogHostName(name) ? "" : "must be 1 to 255 printable ASCII characters, no space";
      });
  ship_cmd->add_option("DIR", ship.selection.operands,
                       "Log directories or files (default: LOGGING_DIR, else the temporary directory)");
#endif

  CLI::App* rsyslog_parse_cmd = app.add_subcommand(
      "rsyslog-parse",
      "At the central host, rsyslog's mmexternal plugin: reads the records that rsyslog edges forward unparsed "
      "(one message a line on standard input) and answers each with its fields, as show --json reads them");

  try {
    app.parse(argc, argv);
    if (show_cmd->parsed()) {
      if (level_range && !vqlog::ParseLevelRange(*level_range, show.filter)) {
        throw CLI::ValidationError("--level", "expected MIN, MIN:MAX, :MAX or MIN: with MIN at most MAX");
      }
      show.filter.thread = thread;
      std::optional<vqlog::Timestamp> from = TimeBound(since, "--since");
      std::optional<vqlog::Timestamp> to = TimeBound(until, "--until");
      if (from) show.filter.since = from->SortKey();
      if (to) show.filter.until = to->SortKey();
      if (from && to && *show.filter.since > *show.filter.until) {
        throw CLI::ValidationError("--since", "is later than --until: nothing could match");
      }
    }
#ifdef VQLOG_WITH_SHIP
    if (ship_cmd->parsed()) {
#ifdef _WIN32
      if (ship.tls.cert_file.empty() && ship.tls.cert_store.empty()) {
        throw CLI::ValidationError("--cert", "this machine's certificate is needed: --cert (and --key), or --cert-store");
      }
#endif
      // HOST:PORT, or [ADDRESS]:PORT for an IPv6 address.
      size_t colon = ship_to.rfind(':');
      std::string host = colon == std::string::npos ? "" : ship_to.substr(0, colon);
      std::string port = colon == std::string::npos ? "" : ship_to.substr(colon + 1);
      if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
      if (host.empty() || !WholeNumber(1, 65535)(port).empty()) {
        throw CLI::ValidationError("--to", "expected HOST:PORT with a port from 1 to 65535");
      }
      ship.tls.host = host;
      ship.tls.port = port;
    }
#endif
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
    vqlog::InstallStopHandlers();
    vqlog::UseBinaryStandardInput();
    return vqlog::RunShow(show, vqlog::StandardOutput(), std::cerr);
  }
  if (ls_cmd->parsed()) {
    ls.color = !ls.json && UseColor();
    return vqlog::RunLs(ls, vqlog::StandardOutput(), std::cerr);
  }
#ifdef VQLOG_WITH_SHIP
  if (ship_cmd->parsed()) {
    vqlog::InstallStopHandlers();
    return vqlog::RunShip(ship, std::cerr);
  }
#endif
  if (rsyslog_parse_cmd->parsed()) {
    vqlog::UseBinaryStandardInput();
    return vqlog::RunRsyslogParse(std::cin, vqlog::StandardOutput());
  }
  return vqlog::RunDemo(demo_dir, UseColor(), vqlog::StandardOutput(), std::cerr);
}
