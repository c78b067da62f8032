// `vqlog demo`: writes records of every kind from several threads, then
// shows both log files.
#ifndef VQLOG_DEMO_COMMAND_H_
#define VQLOG_DEMO_COMMAND_H_

#include <ostream>
#include <string>

namespace vqlog {

int RunDemo(const std::string& dir, bool color, std::ostream& out, std::ostream& err);

}  // namespace vqlog

#endif  // VQLOG_DEMO_COMMAND_H_
