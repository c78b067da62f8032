#include "ship_command.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <vector>

#include "console.h"
#include "input_source.h"
#include "log_reader.h"
#include "record_output.h"
#include "relp_client.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace vqlog {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kMinBackoffSeconds = 1, kMaxBackoffSeconds = 30;
constexpr int kConnectMilliseconds = 10000;
constexpr int kStopWaitMilliseconds = 5000;  // for the last answers at a stop
constexpr int kRescanMilliseconds = 1000;
constexpr int kAnswerMilliseconds = 60000;  // a central silent this long with messages unanswered is gone
constexpr size_t kReadShare = 512;  // records a log may hold read and not sent
// The central takes messages of up to 64 KB (central.conf); the header
// before the JSON takes at most 300 bytes.
constexpr size_t kMaxJsonBytes = 65536 - 300;

struct Position {
  int64_t offset = 0;  // of the next record not yet acknowledged
  int64_t line = 1;    // its physical line number
};

struct StateEntry {
  Position acked;
  std::optional<bool> assert_log;
  uint64_t id[3] = {0, 0, 0};
};

// Path text in the state file: '%', tab, CR and LF as %25, %09, %0D, %0A.
std::string EscapePath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::string UnescapePath(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

constexpr const char* kStateHeader = "vqlog ship state 1";

// False when the file is there but is not a state file.
bool LoadState(const std::string& path, std::map<std::string, StateEntry>* entries, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return true;  // none yet
  std::string line;
  if (!std::getline(in, line) || line != kStateHeader) {
    *error = "not a vqlog ship state file (first line)";
    return false;
  }
  int number = 1;
  while (std::getline(in, line)) {
    ++number;
    std::istringstream fields(line);
    StateEntry e;
    std::string kind, path_text;
    if (!(fields >> e.acked.offset >> e.acked.line >> kind >> e.id[0] >> e.id[1] >> e.id[2]) ||
        fields.get() != '\t' || !std::getline(fields, path_text) || path_text.empty() || e.acked.offset < 0 ||
        e.acked.line < 1 || (kind != "R" && kind != "A" && kind != "-")) {
      *error = "line " + std::to_string(number) + " is not a log's entry";
      return false;
    }
    if (kind != "-") e.assert_log = kind == "A";
    (*entries)[UnescapePath(path_text)] = e;
  }
  return true;
}

// Written to a temporary file beside it, flushed to the disk, then renamed
// over the old one: a kill leaves the old state or the new, never half.
bool SaveState(const std::string& path, const std::map<std::string, StateEntry>& entries, std::string* error) {
  std::string text = std::string(kStateHeader) + "\n";
  for (const auto& [log, e] : entries) {
    text += std::to_string(e.acked.offset) + "\t" + std::to_string(e.acked.line) + "\t" +
            (e.assert_log ? (*e.assert_log ? "A" : "R") : "-") + "\t" + std::to_string(e.id[0]) + "\t" +
            std::to_string(e.id[1]) + "\t" + std::to_string(e.id[2]) + "\t" + EscapePath(log) + "\n";
  }
#ifdef _WIN32
  const std::string temp = path + ".tmp" + std::to_string(GetCurrentProcessId());
  FILE* f = std::fopen(temp.c_str(), "wb");
  bool ok = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0 &&
            _commit(_fileno(f)) == 0;
  if (f != nullptr && std::fclose(f) != 0) ok = false;
  if (ok) ok = MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) {
    *error = "cannot write " + temp;
    std::remove(temp.c_str());
  }
  return ok;
#else
  const std::string temp = path + ".tmp" + std::to_string(getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  for (size_t at = 0; ok && at < text.size();) {
    ssize_t n = ::write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) at += static_cast<size_t>(n);
  }
  if (ok) ok = ::fsync(fd) == 0;
  if (fd >= 0 && ::close(fd) != 0) ok = false;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    *error = "cannot write " + temp + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself reaches the disk with its directory.
  std::string dir = fs::path(path).parent_path().string();
  int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
#endif
}

// One shipper per state file: a second one would send everything twice.
bool LockState(const std::string& path, std::string* error) {
#ifdef _WIN32
  (void)path;
  (void)error;
  return true;
#else
  int fd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot open " + path + ".lock: " + std::strerror(errno);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = "another vqlog ship uses " + path;
    ::close(fd);
    return false;
  }
  return true;  // held until the process ends
#endif
}

std::string MachineName() {
  char name[256] = {};
#ifdef _WIN32
  DWORD size = sizeof name;
  if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size)) return "-";
#else
  if (gethostname(name, sizeof name - 1) != 0) return "-";
#endif
  std::string out;
  for (const char* p = name; *p != '\0'; ++p) out += (*p > 32 && *p < 127) ? *p : '_';
  return out.empty() ? "-" : out;
}

// "2026-12-10T08:09:09Z", the time of sending (UTC), made once a second.
class SendTime {
 public:
  const std::string& Now() {
    std::time_t now = std::time(nullptr);
    if (now != last_) {
      last_ = now;
      std::tm utc{};
#ifdef _WIN32
      gmtime_s(&utc, &now);
#else
      gmtime_r(&now, &utc);
#endif
      char text[32];
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
      text_ = text;
    }
    return text_;
  }

 private:
  std::time_t last_ = -1;
  std::string text_;
};

// Cuts `text` by at least `excess` bytes, at the start of a UTF-8 character.
void CutText(std::string& text, size_t excess) {
  size_t keep = text.size() > excess ? text.size() - excess : 0;
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  text.resize(keep);
}

struct Sent {
  uint32_t txnr;
  Position after;
  bool acked = false;
};

struct ShippedLog {
  ShippedLog(LogSource s, JsonLogFields j, std::unique_ptr<LogReader> r)
      : source(std::move(s)), json(std::move(j)), reader(std::move(r)) {}
  LogSource source;
  JsonLogFields json;
  std::unique_ptr<LogReader> reader;
  StateEntry state;               // acknowledged so far, and which file
  std::deque<Record> pending;     // read, not sent
  std::deque<Sent> sent;          // sent on this connection, in order
  int quiet_ms = 0;
  Clock::time_point last_poll = Clock::now();
  bool more = false;
  bool deleted = false;     // gone from its directory (or unreadable): leaves once all is acknowledged
  bool read_error = false;
  bool cut_noted = false;
};

class Shipper {
 public:
  Shipper(const ShipOptions& options, std::ostream& err)
      : options_(options), err_(err), host_(options.host_name.empty() ? MachineName() : options.host_name),
        where_(options.tls.host + ":" + options.tls.port) {}

  int Run() {
    state_path_ = options_.state_file.empty() ? DefaultShipStatePath(options_.tls.host, options_.tls.port)
                                              : options_.state_file;
    std::string error;
    for (const std::string* file : {&options_.tls.ca_file, &options_.tls.cert_file, &options_.tls.key_file}) {
      if (!std::ifstream(*file)) {
        err_ << "vqlog: cannot read " << TerminalSafe(*file) << "\n";
        return 1;
      }
    }
    std::error_code ec;
    fs::path dir = fs::path(state_path_).parent_path();
    if (!dir.empty() && !fs::exists(dir, ec)) {
      fs::create_directories(dir, ec);
      fs::permissions(dir, fs::perms::owner_all, ec);
    }
    if (!LockState(state_path_, &error) || !LoadState(state_path_, &saved_, &error)) {
      err_ << "vqlog: state file " << TerminalSafe(state_path_) << ": " << TerminalSafe(error) << "\n";
      return 1;
    }
    Rescan(true);
    int backoff = kMinBackoffSeconds;
    while (!StopRequested()) {
      if (!client_) {
        std::string why;
        if (!Connect(&why)) {
          err_ << "vqlog: central " << TerminalSafe(where_) << " unreachable (" << TerminalSafe(why)
               << "); retrying in " << backoff << " s\n";
          err_.flush();
          Wait(backoff * 1000);
          backoff = std::min(backoff * 2, kMaxBackoffSeconds);
          continue;
        }
      }
      if (StopRequested()) break;
      if (!Step()) {
        // A central that takes sessions and drops them (or a server that is
        // no central) is not hammered: a wait before the next session, one
        // that grows until a session has had messages acknowledged.
        if (session_acked_) backoff = kMinBackoffSeconds;
        err_ << "vqlog: connection to the central " << TerminalSafe(where_) << " lost ("
             << (stalled_ ? "no answer for " + std::to_string(kAnswerMilliseconds / 1000) + " s"
                          : TerminalSafe(client_->error()))
             << "); connecting again in " << backoff << " s\n";
        stalled_ = false;
        err_.flush();
        const bool acked = session_acked_;
        Disconnect();
        Wait(backoff * 1000);
        if (!acked) backoff = std::min(backoff * 2, kMaxBackoffSeconds);
      }
    }
    if (client_) Finish();
    SaveNow();
    return 0;
  }

 private:
  bool Connect(std::string* why) {
    std::unique_ptr<TlsStream> stream = ConnectTls(options_.tls, why);
    if (!stream) return false;
    auto client = std::make_unique<RelpClient>(std::move(stream));
    if (!client->Open(kConnectMilliseconds)) {
      *why = client->error();
      return false;
    }
    client_ = std::move(client);
    last_answer_ = Clock::now();
    return true;
  }

  // The link is gone: what it did not acknowledge is read again from the
  // logs, each from its acknowledged place.
  void Disconnect() {
    client_.reset();
    session_acked_ = false;
    in_flight_.clear();
    for (auto& [key, log] : logs_) {
      log.pending.clear();
      log.sent.clear();
      log.deleted = log.read_error = false;  // found again once read to its end
      if (!log.reader->ResumeAt(log.state.acked.line, log.state.acked.offset, log.state.assert_log)) {
        err_ << "vqlog: cannot read " << TerminalSafe(log.source.path) << " again from byte "
             << log.state.acked.offset << "\n";
      }
    }
  }

  // Sleeps `ms`, or less on a stop.
  void Wait(int ms) {
    for (int slept = 0; slept < ms && !StopRequested(); slept += 100) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  // One round: new logs, reading, sending, answers, the state.
  bool Step() {
    if (Clock::now() - last_scan_ >= std::chrono::milliseconds(kRescanMilliseconds)) Rescan(false);
    bool behind = false;
    for (auto& [key, log] : logs_) {
      if (log.deleted || log.pending.size() >= kReadShare / 2) continue;
      behind = ReadLog(log) || behind;
    }
    // Round robin: one record of each log in turn, up to the window.
    bool queued = false;
    for (bool any = true; any && client_->outstanding() < RelpClient::kWindow;) {
      any = false;
      for (auto& [key, log] : logs_) {
        if (log.pending.empty() || client_->outstanding() >= RelpClient::kWindow) continue;
        SendRecord(key, log);
        any = queued = true;
      }
    }
    if (queued && !client_->Flush()) return false;
    bool waiting = false;
    for (auto& [key, log] : logs_) waiting = waiting || !log.pending.empty();
    // Nothing to send: wait for answers or the next poll of the logs.
    int timeout = (waiting && client_->outstanding() < RelpClient::kWindow) || behind ? 0 : options_.poll_milliseconds;
    if (waiting && client_->outstanding() >= RelpClient::kWindow) timeout = options_.poll_milliseconds;
    acked_.clear();
    if (!client_->Poll(timeout, &acked_)) return false;
    for (uint32_t txnr : acked_) Acknowledged(txnr);
    const auto now = Clock::now();
    if (!acked_.empty() || client_->outstanding() == 0) last_answer_ = now;
    if (now - last_answer_ >= std::chrono::milliseconds(kAnswerMilliseconds)) {
      stalled_ = true;
      return false;
    }
    DropFinished();
    if (acks_since_save_ >= kStateSaveAcks ||
        (dirty_ && Clock::now() - last_save_ >= std::chrono::milliseconds(kStateSaveMilliseconds))) {
      SaveNow();
    }
    return true;
  }

  // Reads what the log has; true when it has more at once.
  bool ReadLog(ShippedLog& log) {
    LogReader& reader = *log.reader;
    InputSource::Change change = reader.CheckFollowed();
    if (change != InputSource::Change::None) {
      err_ << "vqlog: " << TerminalSafe(log.source.path)
           << (change == InputSource::Change::Truncated ? " was truncated" : " was replaced")
           << "; acknowledged up to log line " << log.state.acked.line - 1 << " (" << log.state.acked.offset
           << " bytes) of it; shipping it again from the start\n";
      log.pending.clear();
      log.sent.clear();  // answers to them are ignored
      log.state = StateEntry();
      std::copy(reader.identity(), reader.identity() + 3, log.state.id);
      dirty_ = true;
    }
    const auto now = Clock::now();
    const int elapsed = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now - log.last_poll).count());
    log.last_poll = now;
    log.more = PollFollowed(reader, elapsed, kReadShare, log.quiet_ms, log.pending);
    if (!log.state.assert_log) log.state.assert_log = reader.parser().assert_log();
    if (reader.read_failed()) {
      if (StopRequested()) return false;  // interrupted by the stop: the log is fine
      err_ << "vqlog: cannot read " << TerminalSafe(log.source.path) << ": " << TerminalSafe(reader.error()) << "\n";
      log.deleted = log.read_error = true;
      return false;
    }
    std::error_code ec;
    if (!log.more && !fs::exists(log.source.path, ec) && !ec) {
      // Its descriptor still reads what was written: all of it goes out.
      Record held;
      if (reader.ReleaseHeld(&held)) log.pending.push_back(std::move(held));
      log.deleted = true;
    }
    return log.more;
  }

  void SendRecord(uint64_t key, ShippedLog& log) {
    Record& record = log.pending.front();
    json_.clear();
    AppendRecordJson(record, log.json, json_);
    if (json_.size() - 1 > kMaxJsonBytes) {
      // Too long for the central: the longest text is cut to fit.
      // (An escaped byte takes at most 6 in the JSON.)
      while (json_.size() - 1 > kMaxJsonBytes && record.text.size() + record.file.size() > 0) {
        std::string& longest = record.text.size() >= record.file.size() ? record.text : record.file;
        CutText(longest, std::max<size_t>((json_.size() - 1 - kMaxJsonBytes) / 6 + 1, longest.size() / 4));
        json_.clear();
        AppendRecordJson(record, log.json, json_);
      }
      if (!log.cut_noted) {
        err_ << "vqlog: " << TerminalSafe(log.source.path) << " line " << record.log_line
             << ": a record too long for the central (64 KB); its text was cut\n";
        log.cut_noted = true;
      }
    }
    json_.pop_back();  // the line end
    message_.clear();
    message_ += record.kind == RecordKind::Assert ? "<11>1 " : "<13>1 ";
    message_ += clock_.Now();
    message_ += ' ';
    message_ += host_;
    message_ += " vqlogger - - - @cee:";
    message_ += json_;
    uint32_t txnr = client_->Queue(message_);
    log.sent.push_back({txnr, {record.next_offset, record.next_line}});
    in_flight_[txnr] = key;
    log.pending.pop_front();
  }

  void Acknowledged(uint32_t txnr) {
    auto it = in_flight_.find(txnr);
    if (it == in_flight_.end()) return;
    auto log_it = logs_.find(it->second);
    in_flight_.erase(it);
    session_acked_ = true;
    if (log_it == logs_.end()) return;
    ShippedLog& log = log_it->second;
    for (Sent& s : log.sent) {
      if (s.txnr == txnr) s.acked = true;
    }
    while (!log.sent.empty() && log.sent.front().acked) {
      log.state.acked = log.sent.front().after;
      log.sent.pop_front();
      ++acks_since_save_;
      dirty_ = true;
    }
  }

  // A deleted log whose every record the central acknowledged leaves, and
  // its entry with it.
  void DropFinished() {
    for (auto it = logs_.begin(); it != logs_.end();) {
      ShippedLog& log = it->second;
      if (log.deleted && log.pending.empty() && log.sent.empty()) {
        if (!log.read_error) err_ << "vqlog: " << TerminalSafe(log.source.path) << " was deleted; all of it was shipped\n";
        // A log that could not be read keeps its entry: the next start
        // goes on from where the central acknowledged it.
        if (log.read_error) saved_[log.source.path] = log.state;
        known_.erase(log.source.path);
        it = logs_.erase(it);
        dirty_ = true;
      } else {
        ++it;
      }
    }
  }

  void Rescan(bool first) {
    last_scan_ = Clock::now();
    std::ostringstream scan;
    std::vector<LogSource> sources = SelectLogs(options_.selection, scan);
    err_ << NewNoteLines(scan.str(), printed_);
    for (const LogSource& source : sources) {
      if (source.store || source.path == "-" || known_.count(source.path) != 0) continue;
      // A link in a log directory (the default one is the shared temporary
      // directory) could point at any file this user may read: it is not
      // shipped.
      std::error_code link_ec;
      if (fs::is_symlink(source.path, link_ec)) {
        err_ << NewNoteLines("vqlog: skipped " + TerminalSafe(source.path) + ": a symbolic link\n", printed_);
        continue;
      }
      Start(source, first);
    }
    if (first) {
      // Entries of logs that are gone: they went before all of them was
      // acknowledged (a log shipped whole leaves the state as it goes).
      for (auto it = saved_.begin(); it != saved_.end();) {
        std::error_code ec;
        if (!fs::exists(it->first, ec) && !ec) {
          err_ << "vqlog: " << TerminalSafe(it->first) << " was deleted before the central acknowledged all of it;"
               << " acknowledged up to log line " << it->second.acked.line - 1 << " (" << it->second.acked.offset
               << " bytes)\n";
          it = saved_.erase(it);
          dirty_ = true;
        } else {
          ++it;
        }
      }
    }
    err_.flush();
  }

  void Start(const LogSource& source, bool first) {
    auto reader = std::make_unique<LogReader>(source.path, 64 * 1024, true);
    if (!reader->ok()) {
      if (failed_.insert(source.path).second) {
        err_ << "vqlog: cannot open " << TerminalSafe(source.path) << ": " << TerminalSafe(reader->error()) << "\n";
      }
      return;
    }
    failed_.erase(source.path);
    reader->SetFollow(true);
    ShippedLog log(source,
                   source.name ? JsonLogFields(source.path, source.name->exe, source.name->pid)
                               : JsonLogFields(source.path, std::nullopt, std::nullopt),
                   std::move(reader));
    std::copy(log.reader->identity(), log.reader->identity() + 3, log.state.id);
    auto saved = saved_.find(source.path);
    if (saved != saved_.end()) {
      if (std::equal(saved->second.id, saved->second.id + 3, log.state.id)) {
        log.state = saved->second;
        if (log.state.acked.offset > 0 &&
            !log.reader->ResumeAt(log.state.acked.line, log.state.acked.offset, log.state.assert_log)) {
          err_ << "vqlog: cannot read " << TerminalSafe(source.path) << " on from byte " << log.state.acked.offset
               << "; shipping it from the start\n";
          log.state = StateEntry();
          std::copy(log.reader->identity(), log.reader->identity() + 3, log.state.id);
        }
      } else {
        err_ << "vqlog: " << TerminalSafe(source.path) << " is another file than the one shipped before"
             << " (acknowledged up to log line " << saved->second.acked.line - 1 << "); shipping it from the start\n";
      }
      saved_.erase(saved);
    } else if (!first) {
      err_ << "vqlog: shipping " << TerminalSafe(source.path) << ", a new log\n";
    }
    known_.insert(source.path);
    logs_.emplace(next_key_++, std::move(log));
    dirty_ = true;
  }

  void SaveNow() {
    if (!dirty_) return;
    std::map<std::string, StateEntry> entries = saved_;  // logs not found yet keep theirs
    for (const auto& [key, log] : logs_) entries[log.source.path] = log.state;
    std::string error;
    if (!SaveState(state_path_, entries, &error)) {
      if (!save_failed_) err_ << "vqlog: state file: " << TerminalSafe(error) << "\n";
      save_failed_ = true;
    } else {
      save_failed_ = false;
      dirty_ = false;
    }
    last_save_ = Clock::now();
    acks_since_save_ = 0;
  }

  // A stop: no more records go out; the answers to those sent are awaited
  // for a while, then the session is closed.
  void Finish() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStopWaitMilliseconds);
    bool ok = true;
    while (ok && client_->outstanding() > 0 && Clock::now() < deadline) {
      acked_.clear();
      ok = client_->Poll(100, &acked_);
      for (uint32_t txnr : acked_) Acknowledged(txnr);
    }
    if (ok) client_->Close(2000);
    client_.reset();
  }

  const ShipOptions& options_;
  std::ostream& err_;
  std::string host_;
  std::string where_;
  std::string state_path_;
  std::map<std::string, StateEntry> saved_;  // read at start, not yet matched with a log
  std::map<uint64_t, ShippedLog> logs_;
  uint64_t next_key_ = 1;
  std::set<std::string> known_, failed_, printed_;
  std::unordered_map<uint32_t, uint64_t> in_flight_;  // transaction: log key
  std::unique_ptr<RelpClient> client_;
  std::vector<uint32_t> acked_;
  std::string json_, message_;
  SendTime clock_;
  Clock::time_point last_scan_ = Clock::now();
  Clock::time_point last_save_ = Clock::now();
  Clock::time_point last_answer_ = Clock::now();
  int acks_since_save_ = 0;
  bool stalled_ = false;
  bool session_acked_ = false;  // this session has had a message acknowledged
  bool dirty_ = false;
  bool save_failed_ = false;
};

}  // namespace

std::string DefaultShipStatePath(const std::string& host, const std::string& port) {
  std::string name = "ship-";
  for (char c : host + "-" + port) name += (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-') ? c : '_';
  name += ".state";
#ifdef _WIN32
  const char* base = std::getenv("LOCALAPPDATA");
  fs::path dir = base && *base ? fs::path(base) : fs::temp_directory_path();
  return (dir / "vqlog" / name).string();
#else
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  fs::path dir = state && *state == '/' ? fs::path(state) : fs::path(home && *home ? home : ".") / ".local" / "state";
  return (dir / "vqlog" / name).string();
#endif
}

bool ValidSyslogHostName(const std::string& name) {
  if (name.empty() || name.size() > 255) return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return c > 32 && c < 127; });
}

int RunShip(const ShipOptions& options, std::ostream& err) {
#ifndef _WIN32
  std::signal(SIGPIPE, SIG_IGN);  // a broken link is an error to handle, not the end
#endif
  Shipper shipper(options, err);
  return shipper.Run();
}

}  // namespace vqlog
