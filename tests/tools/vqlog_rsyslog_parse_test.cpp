// The central's reading of records that rsyslog edges forward unparsed: each
// message's whole answer line.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "record_output.h"
#include "rsyslog_parse_command.h"

namespace {

const std::string kLog = "/l/app_42_2026-12-8-9-5-3_runtime.log";
const std::string kTail = ",\\\"exe\\\":\\\"app\\\",\\\"pid\\\":42,\\\"log\\\":\\\"" + kLog + "\\\"}\"}";

std::string Raw(const std::string& raw_json, const std::string& log = kLog) {
  return "@vqraw:{\"log\":\"" + log + "\",\"raw\":" + raw_json + "}";
}

// The message as mmexternal hands it on: one object of all its properties.
std::string Full(const std::string& message) {
  std::string line = "{\"msg\":";
  vqlog::AppendJsonString(message, line);
  return line + ",\"rawmsg\":\"<13>1 - h vqlogger - - - x\",\"$!\":{\"a\":[1,{\"b\":null}]}}";
}

TEST(RsyslogParse, AnswersEachMessageWithTheFieldsVqlogReads) {
  struct Case {
    const char* name;
    std::string message, answer;
  } cases[] = {
      {"runtime record: ISO time, the millisecond count, numbers without leading zeros",
       Raw(R"("2026-12-8 9:5:3.7\t0011\tsrc\/a.c\t012\tcache miss\t01\r")"),
       R"({"msg":"@cee:{\"kind\":\"runtime\",\"time\":\"2026-12-08T09:05:03.007\",\"thread\":11,)"
       R"(\"file\":\"src/a.c\",\"line\":12,\"message\":\"cache miss\",\"level\":1)" + kTail},
      {"a line feed in the file name, the keys in the other order",
       R"(@vqraw:{"raw":"2026-12-8 9:5:3.70\t1\ta\nb.c\t2\tm\t-3","log":")" + kLog + "\"}",
       R"({"msg":"@cee:{\"kind\":\"runtime\",\"time\":\"2026-12-08T09:05:03.070\",\"thread\":1,)"
       R"(\"file\":\"a\\nb.c\",\"line\":2,\"message\":\"m\",\"level\":-3)" + kTail},
      {"assert record with tabs and CR LF in its expression, escapes decoded",
       Raw(R"("2026-12-8 9:5:3.7\t1\ta.c\t2\tp\t!= 0\r\n&& \u00e9\ud83d\ude00")",
           "/l/app_42_2026-12-8-9-5-3_assert.log"),
       R"({"msg":"@cee:{\"kind\":\"assert\",\"time\":\"2026-12-08T09:05:03.007\",\"thread\":1,)"
       "\\\"file\\\":\\\"a.c\\\",\\\"line\\\":2,\\\"expression\\\":\\\"p\\\\t!= 0\\\\r\\\\n&& \xC3\xA9\xF0\x9F\x98\x80\\\""
       ",\\\"exe\\\":\\\"app\\\",\\\"pid\\\":42,\\\"log\\\":\\\"/l/app_42_2026-12-8-9-5-3_assert.log\\\"}\"}"},
      {"a line that looks like the header is no header inside a log",
       Raw(R"("\u00ef\u00bb\u00bfTIMESTAMP\tTHREAD_ID")", "odd.log"),
       R"({"msg":"@cee:{\"kind\":\"unparsed\",\"text\":\"ï»¿TIMESTAMP\\tTHREAD_ID\",\"log\":\"odd.log\"}"})"},
      {"bytes that are not UTF-8 become U+FFFD, as in vqlog show",
       Raw("\"Null Pointer Error\xff\""),
       R"({"msg":"@cee:{\"kind\":\"unparsed\",\"text\":\"Null Pointer Error)" "\xEF\xBF\xBD" "\\\"" + kTail},
      {"the last-resort line", Raw(R"("Null Pointer Error")"),
       R"({"msg":"@cee:{\"kind\":\"last_resort\",\"text\":\"Null Pointer Error\")" + kTail},
      {"a message of another form is left alone", "@cee:{\"kind\":\"runtime\"}", "{}"},
      {"an unknown key", R"(@vqraw:{"log":"a","raw":"b","c":"d"})", "{}"},
      {"a key twice", R"(@vqraw:{"log":"a","log":"b","raw":"c"})", "{}"},
      {"a value that is no string", R"(@vqraw:{"log":1,"raw":"c"})", "{}"},
      {"cut short", R"(@vqraw:{"log":"a","raw":"c)", "{}"},
      {"a bad escape", R"(@vqraw:{"log":"a","raw":"\x41"})", "{}"},
      {"text after the object", R"(@vqraw:{"log":"a","raw":"c"} x)", "{}"},
      {"a line feed in the message itself", Raw(R"("Null Pointer Error")") + "\n" + Raw(R"("x")"), "{}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(vqlog::RsyslogParseAnswer(Full(c.message)), c.answer) << c.name;
  }
}

TEST(RsyslogParse, AnswersOneLinePerMessage) {
  const std::string message = Full(Raw(R"("Null Pointer Error")"));
  std::istringstream in(message + "\nnot an object\n{\"msg\":1}\n\n");
  std::ostringstream out;
  EXPECT_EQ(vqlog::RunRsyslogParse(in, out), 0);
  EXPECT_EQ(out.str(), vqlog::RsyslogParseAnswer(message) + "\n{}\n{}\n{}\n");
}

}  // namespace
