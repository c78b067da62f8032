#include "relp_client.h"

#include <algorithm>
#include <chrono>

namespace vqlog {
namespace {

constexpr uint32_t kMaxTxnr = 999999999;  // then it starts again at 1
constexpr size_t kMaxCommand = 32;

bool Digit(char c) { return c >= '0' && c <= '9'; }
bool Letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Up to nine digits at `at`, and the end after them; npos when there are
// none or more, and (with *incomplete) when the text ends before a byte
// that is no digit.
size_t ReadNumber(std::string_view text, size_t at, uint32_t* value, bool* incomplete) {
  size_t end = at;
  uint32_t v = 0;
  while (end < text.size() && Digit(text[end]) && end - at < 9) v = v * 10 + static_cast<uint32_t>(text[end++] - '0');
  if (end == text.size()) {
    *incomplete = true;
    return std::string_view::npos;
  }
  if (end == at || Digit(text[end])) return std::string_view::npos;
  *value = v;
  return end;
}

}  // namespace

RelpFrameReader::Result RelpFrameReader::Next(RelpFrame* frame, std::string* error) {
  std::string_view text = std::string_view(buffer_).substr(start_);
  auto bad = [&](const char* why) {
    *error = std::string("a frame from the server is broken (") + why + ")";
    return Result::Error;
  };
  auto more = [&]() {
    if (start_ > 0) {  // what was taken goes, so the buffer holds at most one frame
      buffer_.erase(0, start_);
      start_ = 0;
    }
    return Result::NeedMore;
  };
  if (text.empty()) return more();
  bool incomplete = false;
  uint32_t txnr = 0, length = 0;
  size_t at = ReadNumber(text, 0, &txnr, &incomplete);
  if (at == std::string_view::npos) return incomplete ? more() : bad("transaction number");
  if (text[at] != ' ') return bad("no space after the transaction number");
  size_t command = ++at;
  while (at < text.size() && Letter(text[at]) && at - command < kMaxCommand) ++at;
  if (at == text.size()) return at - command < kMaxCommand ? more() : bad("command too long");
  if (at == command || text[at] != ' ') return bad("command");
  std::string_view name = text.substr(command, at - command);
  at = ReadNumber(text, at + 1, &length, &incomplete);
  if (at == std::string_view::npos) return incomplete ? more() : bad("data length");
  if (length > kMaxData) return bad("data longer than 64 KB");
  size_t data = at;
  if (length > 0 || (at < text.size() && text[at] == ' ')) {
    if (text[at] != ' ') return bad("no space before the data");
    data = at + 1;
  }
  if (text.size() < data + length + 1) return more();
  if (text[data + length] != '\n') return bad("no line feed after the data");
  frame->txnr = txnr;
  frame->command.assign(name.data(), name.size());
  frame->data.assign(text.data() + data, length);
  start_ += data + length + 1;
  return Result::Frame;
}

void AppendRelpFrame(uint32_t txnr, std::string_view command, std::string_view data, std::string& out) {
  out += std::to_string(txnr);
  out += ' ';
  out += command;
  out += ' ';
  out += std::to_string(data.size());
  if (!data.empty()) {
    out += ' ';
    out += data;
  }
  out += '\n';
}

uint32_t RelpClient::NextTxnr() {
  last_txnr_ = last_txnr_ >= kMaxTxnr ? 1 : last_txnr_ + 1;
  return last_txnr_;
}

bool RelpClient::Open(int timeout_ms) {
  open_txnr_ = NextTxnr();
  AppendRelpFrame(open_txnr_, "open", "relp_version=0\nrelp_software=vqlog\ncommands=syslog", out_);
  if (!Flush()) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<uint32_t> none;
  while (!opened_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Fail("no answer to the RELP open in time");
    if (!Poll(static_cast<int>(left.count()), &none)) return false;
  }
  return true;
}

uint32_t RelpClient::Queue(std::string_view message) {
  uint32_t txnr = NextTxnr();
  AppendRelpFrame(txnr, "syslog", message, out_);
  waiting_.push_back(txnr);
  return txnr;
}

bool RelpClient::Flush() {
  if (out_.empty()) return true;
  if (!stream_->WriteAll(out_)) return Fail(stream_->error());
  out_.clear();
  return true;
}

bool RelpClient::Handle(const RelpFrame& frame, std::vector<uint32_t>* acked) {
  if (frame.command == "serverclose") return Fail("the central closed the session (serverclose)");
  if (frame.command != "rsp") return Fail("the central sent a \"" + frame.command + "\" command");
  // At most 200 bytes of it go into a message: a server's text is not
  // repeated into the host's log in full.
  std::string_view status = std::string_view(frame.data).substr(0, std::min(frame.data.find('\n'), size_t{200}));
  const bool ok = status.substr(0, 3) == "200";
  if (frame.txnr == open_txnr_ && !opened_) {
    if (!ok) return Fail("the central refused the RELP open: " + std::string(status));
    // The offer's answer lists what the server takes, one "name=value" a line.
    std::string_view rest = frame.data;
    bool syslog = false;
    while (!rest.empty()) {
      size_t end = std::min(rest.find('\n'), rest.size());
      if (rest.substr(0, std::min<size_t>(end, 9)) == "commands=") {
        std::string_view list = rest.substr(9, end - 9);
        for (size_t at = 0; at <= list.size();) {
          size_t comma = std::min(list.find(',', at), list.size());
          if (list.substr(at, comma - at) == "syslog") syslog = true;
          at = comma + 1;
        }
      }
      rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    if (!syslog) return Fail("the central does not take syslog commands");
    opened_ = true;
    return true;
  }
  if (closed_ && frame.txnr == close_txnr_) {
    close_txnr_ = 0;
    return true;
  }
  auto it = std::find(waiting_.begin(), waiting_.end(), frame.txnr);
  if (it == waiting_.end()) return Fail("an answer for transaction " + std::to_string(frame.txnr) + ", not sent");
  if (!ok) return Fail("the central did not take a message: " + std::string(status));
  waiting_.erase(it);
  acked->push_back(frame.txnr);
  return true;
}

bool RelpClient::Poll(int timeout_ms, std::vector<uint32_t>* acked) {
  char buffer[16384];
  bool waited = false;
  for (;;) {
    RelpFrame frame;
    std::string why;
    RelpFrameReader::Result r;
    while ((r = reader_.Next(&frame, &why)) == RelpFrameReader::Result::Frame) {
      if (!Handle(frame, acked)) return false;
    }
    if (r == RelpFrameReader::Result::Error) return Fail(why);
    // Wait once, then take only what is there already.
    std::ptrdiff_t got = stream_->Read(buffer, sizeof buffer, waited ? 0 : timeout_ms);
    waited = true;
    if (got < 0) return Fail(stream_->error());
    if (got == 0) return true;
    reader_.Append(buffer, static_cast<size_t>(got));
  }
}

bool RelpClient::Close(int timeout_ms) {
  closed_ = true;
  close_txnr_ = NextTxnr();
  AppendRelpFrame(close_txnr_, "close", "", out_);
  if (!Flush()) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<uint32_t> acked;
  while (close_txnr_ != 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Fail("no answer to the RELP close in time");
    if (!Poll(static_cast<int>(left.count()), &acked)) return false;
  }
  return true;
}

}  // namespace vqlog
