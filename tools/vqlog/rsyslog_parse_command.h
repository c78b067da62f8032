// `vqlog rsyslog-parse`: rsyslog's mmexternal plugin at the central host.
// The rsyslog edge forwards each record of a log unparsed, as
// @vqraw:{"log":PATH,"raw":TEXT}; this reads those messages, one a line, and
// answers each with one line that replaces the message by the record's
// fields, read by vqlog's own parser: @cee:{...} with the keys and values of
// `vqlog show --json` (no log_line: the edge cannot know it). The input is
// mmexternal's "fulljson": one JSON object a message, so a line feed that a
// peer puts in a message cannot make two.
#ifndef VQLOG_RSYSLOG_PARSE_COMMAND_H_
#define VQLOG_RSYSLOG_PARSE_COMMAND_H_

#include <istream>
#include <ostream>
#include <string>
#include <string_view>

namespace vqlog {

// The answer to one message, given as rsyslog's JSON object of all its
// properties (mmexternal's "fulljson"), without its line end:
// {"msg":"@cee:{...}"}, or {} to leave a message of another form as it is.
std::string RsyslogParseAnswer(std::string_view line);

// Answers every line of `in` on `out`, flushing each; returns 0 at the end
// of `in`.
int RunRsyslogParse(std::istream& in, std::ostream& out);

}  // namespace vqlog

#endif  // VQLOG_RSYSLOG_PARSE_COMMAND_H_
