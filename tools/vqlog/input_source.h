// Reading a log as a byte stream: a regular file, a FIFO, a pipe or standard
// input ("-"), without seeking, in whatever chunk size the caller asks for.
// The POSIX and Windows calls live here and nowhere else in the tool.
#ifndef VQLOG_INPUT_SOURCE_H_
#define VQLOG_INPUT_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace vqlog {

class InputSource {
 public:
  InputSource() = default;
  ~InputSource();
  InputSource(const InputSource&) = delete;
  InputSource& operator=(const InputSource&) = delete;

  // Opens `path` ("-": standard input) for reading. False, with error() set,
  // when it cannot be opened or when a stop was requested while a FIFO waited
  // for its writer. With `regular_only` (a file found in a directory scan)
  // the open never blocks and anything but a regular file is refused.
  bool Open(const std::string& path, bool regular_only = false);
  void Close();
  bool is_open() const;

  // Reads up to `size` bytes: the count, 0 at the end of the data (for now,
  // when following a file), -1 on an error or a requested stop (error() says
  // which).
  int64_t Read(char* buffer, size_t size);

  // For following a regular file: whether the file at the path is still the
  // one being read and has not been cut below `offset`. `prefix` (the first
  // bytes read from it) must still be there: a file truncated and written
  // again past the old offset is noticed by its first bytes.
  enum class Change { None, Truncated, Replaced };
  Change CheckFollowed(const std::string& path, int64_t offset, const std::string& prefix);
  // Starts reading again from the first byte (after Truncated), or reopens
  // the path (after Replaced).
  bool Restart(const std::string& path, Change change);
  // Moves to `offset` of a regular file, for reading one in several places
  // through one descriptor; false on a stream or an error.
  bool Seek(int64_t offset);

  // Closes a regular file but remembers which file it was, so that Resume
  // opens that same file again and reads on at `offset`. Resume fails when
  // the path now names another file.
  void Park();
  bool Resume(const std::string& path, int64_t offset);
  bool parked() const { return parked_; }

  bool regular_file() const { return regular_; }
  // Of a regular file: device (volume) and file number, three numbers.
  const uint64_t* identity() const { return identity_; }
  const std::string& error() const { return error_; }

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
  bool owned_ = false;
#else
  int fd_ = -1;
  bool owned_ = false;  // opened by name (standard input is not)
#endif
  bool regular_ = false;
  bool regular_only_ = false;
  bool parked_ = false;
  uint64_t identity_[3] = {0, 0, 0};  // of a regular file: device or volume, file number
  std::string error_;
};

// How many log files may be open at once: the descriptor limit (raised to
// its hard limit first) less what the program needs besides.
size_t OpenFileLimit();

// Asks blocked opens and reads to give up (async-signal-safe), and whether
// that has been asked.
void RequestStop();
bool StopRequested();
// Lets SIGINT and SIGTERM interrupt a blocked open or read: they call
// RequestStop. A second signal ends the process at once.
void InstallStopHandlers();

}  // namespace vqlog

#endif  // VQLOG_INPUT_SOURCE_H_
