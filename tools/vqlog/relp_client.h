// The client side of RELP, the Reliable Event Logging Protocol: frames
// "TXNR SP COMMAND SP DATALEN [SP DATA] LF", an "open" offering
// relp_version=0 and commands=syslog, "syslog" commands each answered by an
// "rsp" frame with the same transaction number ("200 OK"), "close" at the
// end, and "serverclose" from a server that goes away. Up to a window of
// transactions may wait for their answers. The framing does no I/O; the
// client runs over a TlsStream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tls_stream.h"

namespace vqlog {

struct RelpFrame {
  uint32_t txnr = 0;
  std::string command;
  std::string data;
};

// Splits what a server sends into frames, however the bytes were cut into
// reads. Anything that is not a frame, or a frame longer than kMaxData, is
// an error and the stream is lost (the connection must go).
class RelpFrameReader {
 public:
  static constexpr size_t kMaxData = 64 * 1024;
  enum class Result { Frame, NeedMore, Error };
  void Append(const char* bytes, size_t size) { buffer_.append(bytes, size); }
  Result Next(RelpFrame* frame, std::string* error);

 private:
  std::string buffer_;
  size_t start_ = 0;
};

// "TXNR COMMAND DATALEN DATA\n" (no SP DATA when data is empty).
void AppendRelpFrame(uint32_t txnr, std::string_view command, std::string_view data, std::string& out);

class RelpClient {
 public:
  static constexpr size_t kWindow = 128;  // transactions sent and not yet answered, at most

  explicit RelpClient(std::unique_ptr<TlsStream> stream) : stream_(std::move(stream)) {}
  // Sends "open" and waits for the server's "200 OK" with "syslog" among
  // its commands.
  bool Open(int timeout_ms);
  // Queues a syslog message; returns its transaction number. Sent by Flush.
  uint32_t Queue(std::string_view message);
  bool Flush();
  // Reads answers for at most timeout_ms (0: only what has arrived); the
  // transaction numbers answered "200 OK" are appended to *acked. False on
  // an error, another answer, an unknown transaction or a serverclose.
  bool Poll(int timeout_ms, std::vector<uint32_t>* acked);
  // Sends "close" and waits for its answer; false if none came in time.
  bool Close(int timeout_ms);
  size_t outstanding() const { return waiting_.size(); }
  const std::string& error() const { return error_; }

 private:
  uint32_t NextTxnr();
  bool Fail(std::string why) {
    error_ = std::move(why);
    return false;
  }
  // One frame from the server: the answer to the open, the close or a
  // queued message, or an end.
  bool Handle(const RelpFrame& frame, std::vector<uint32_t>* acked);

  std::unique_ptr<TlsStream> stream_;
  RelpFrameReader reader_;
  std::string out_;
  std::deque<uint32_t> waiting_;  // sent, in order, not yet answered
  uint32_t last_txnr_ = 0;
  uint32_t open_txnr_ = 0, close_txnr_ = 0;
  bool opened_ = false, closed_ = false;
  std::string error_;
};

}  // namespace vqlog
