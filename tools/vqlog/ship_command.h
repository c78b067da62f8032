// `vqlog ship`: follows the logs as `vqlog show --follow` does and sends
// each record, as the JSON object `vqlog show --json` prints for it, to the
// fleet's central over RELP and TLS. A state file keeps, per log, how far
// the central has acknowledged; the logs themselves are the queue.
#ifndef VQLOG_SHIP_COMMAND_H_
#define VQLOG_SHIP_COMMAND_H_

#include <ostream>
#include <string>

#include "log_discovery.h"
#include "tls_stream.h"

namespace vqlog {

struct ShipOptions {
  TlsClientOptions tls;    // host, port, CA, certificate and key
  std::string state_file;  // empty: DefaultShipStatePath
  std::string host_name;   // the HOSTNAME of the messages; empty: this machine's name
  LogSelection selection;  // which logs; no operands: the default directories
  int poll_milliseconds = 200;
};

// Saved at most this often, or after this many acknowledgements: a kill
// sends again at most kStateSaveAcks - 1 acknowledged records plus the
// window of unacknowledged ones (RelpClient::kWindow).
constexpr int kStateSaveMilliseconds = 1000;
constexpr int kStateSaveAcks = 1024;

// $XDG_STATE_HOME/vqlog (else ~/.local/state/vqlog; on Windows
// %LOCALAPPDATA%\vqlog) / ship-HOST-PORT.state.
std::string DefaultShipStatePath(const std::string& host, const std::string& port);

// A HOSTNAME as RFC 5424 has it: printable ASCII, no space, 1 to 255 bytes.
bool ValidSyslogHostName(const std::string& name);

// Runs until SIGINT or SIGTERM; 0 then, 1 when it cannot start (state file,
// certificates).
int RunShip(const ShipOptions& options, std::ostream& err);

}  // namespace vqlog

#endif  // VQLOG_SHIP_COMMAND_H_
