// Reading the central store: the JSON object reader, the time merge of a
// store's lanes (re-sent records, steps back, lines that are no record),
// --host, --follow and ls.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "json_object.h"
#include "store_reader.h"
#include "tool_test_support.h"

namespace {

// A runtime record of process `pid` at 01:00:00.<ms>, as the central writes it.
std::string R(int pid, int ms, const std::string& text, const std::string& host = "h1",
              const std::string& peer = "10.0.0.1") {
  char time[8];
  std::snprintf(time, sizeof time, "%03d", ms);
  std::string p = std::to_string(pid);
  return "{\"kind\":\"runtime\", \"time\":\"2026-12-09T01:00:00." + std::string(time) + "\", \"thread\":" + p +
         "0, \"file\":\"a.c\", \"line\":1, \"message\":\"" + text + "\", \"level\":" + std::to_string(ms % 3) +
         ", \"exe\":\"app\", \"pid\":" + p + ", \"host\":\"" + host + "\", \"peer\":\"" + peer +
         "\", \"log\":\"\\/l\\/app_" + p + "_2026-12-9-1-0-0_runtime.log\"}\n";
}

// "pid:message" per record of `show --json` ("?:text" for unparsed lines).
std::string Projected(const std::string& out) {
  std::string shown;
  for (const std::string& line : vqtest::SplitLines(out)) {
    nlohmann::json r = nlohmann::json::parse(line);
    shown += r.contains("pid") ? std::to_string(r["pid"].get<int>()) + ":" + r["message"].get<std::string>()
                               : "?:" + r["text"].get<std::string>();
    shown += ' ';
  }
  return shown;
}

TEST(JsonObjectTest, ReadsOneObjectStrictly) {
  const std::string deep = "{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}";
  struct Case {
    const char* text;
    const char* members;  // key=type:value;... or "refused"
  } cases[] = {
      {R"( {"a":"x\"\\\/\b\f\n\r\t","b":-12,"c":true,"d":false,"e":null} )",
       "a=s:x\"\\/\b\f\n\r\t;b=i:-12;c=t:;d=f:;e=z:;"},
      {R"({"a":"caf\u00e9 \ud83d\ude00","b":"\ud83d!","c":"\ude00"})", "a=s:caf\xC3\xA9 \xF0\x9F\x98\x80;b=s:\xEF\xBF\xBD!;c=s:\xEF\xBF\xBD;"},
      {R"({"a":1.5,"b":1e3,"c":-0,"d":9223372036854775807,"e":9223372036854775808})", "a=n:;b=n:;c=i:0;d=i:9223372036854775807;e=n:;"},
      {R"({"a":{"b":[1,{"c":null}]},"d":[]})", "a=o:;d=o:;"},
      {"{}", ""},
      {R"({"a":01})", "refused"},
      {R"({"a":1.})", "refused"},
      {R"({"a":NaN})", "refused"},
      {R"({"a":abc})", "refused"},
      {R"({"a":1,"a":2})", "refused"},
      {R"({"a":1} x)", "refused"},
      {"{\"a\":\"tab\there\"}", "refused"},
      {R"({"a":"\x41"})", "refused"},
      {R"({"a":"\u12"})", "refused"},
      {R"({"a":1,})", "refused"},
      {R"(["a"])", "refused"},
      {R"({"a":"x)", "refused"},
      {deep.c_str(), "refused"},
  };
  vqlog::JsonObject object;
  for (const Case& c : cases) {
    std::string got = "refused";
    if (object.Parse(c.text)) {
      got.clear();
      for (size_t i = 0; i < object.size(); ++i) {
        const vqlog::JsonValue& v = object.member(i).value;
        got += object.member(i).key + "=" + "sintfzo"[static_cast<int>(v.type)] + ":" +
               (v.type == vqlog::JsonValue::Type::String    ? v.text
                : v.type == vqlog::JsonValue::Type::Integer ? std::to_string(v.integer)
                                                            : "") +
               ";";
      }
    }
    EXPECT_EQ(got, c.members) << c.text;
  }
}

TEST(VqlogStoreTest, ShowMergesTheLanesOfAStoreInTimeOrder) {
  const std::string kBad =
      "garbage\n"
      "{\"kind\":\"runtime\", \"thread\":1, \"file\":\"a.c\", \"line\":1, \"message\":\"no time\", \"level\":1, \"log\":\"x\"}\n"
      "{\"kind\":\"runtime\", \"time\":\"2026-12-9T1:0:0.7\", \"thread\":1, \"file\":\"a.c\", \"line\":1, \"message\":\"m\", \"level\":1, \"log\":\"x\"}\n"
      "{\"kind\":\"runtime\", \"time\":\"2026-12-09T01:00:00.007\", \"thread\":\"1\", \"file\":\"a.c\", \"line\":1, \"message\":\"m\", \"level\":1, \"log\":\"x\"}\n"
      "{\"kind\":\"assert\", \"time\":\"2026-12-09T01:00:00.007\", \"thread\":1, \"file\":\"a.c\", \"line\":1, \"expression\":\"e\"}\n"
      "{\"kind\":\"note\", \"text\":\"t\", \"log\":\"x\"}\n";
  struct Case {
    const char* name;
    std::map<std::string, std::string> files;  // store file name => content
    std::vector<std::string> args;
    std::string shown, notes;
  } cases[] = {
      {"interleaved lanes", {{"s.jsonl", R(1, 10, "a10") + R(2, 5, "b5") + R(1, 20, "a20") + R(2, 15, "b15")}}, {},
       "2:b5 1:a10 2:b15 1:a20 ", ""},
      {"filters apply", {{"s.jsonl", R(1, 10, "a10") + R(2, 5, "b5") + R(1, 20, "a20") + R(2, 15, "b15")}},
       {"--level", "1:2", "--until", "2026-12-09T01:00:00.015"}, "2:b5 1:a10 ", ""},
      {"a re-sent run is left out",
       {{"s.jsonl", R(1, 10, "a") + R(1, 20, "b") + R(2, 15, "c") + R(1, 10, "a") + R(1, 20, "b") + R(1, 30, "d")}},
       {}, "1:a 2:c 1:b 1:d ", "vqlog: S/s.jsonl: 2 records sent again (equal to a recent one of the same log), left out\n"},
      {"a step back keeps its lane's order and holds up no other lane",
       {{"s.jsonl", R(1, 10, "a10") + R(2, 7, "b7") + R(1, 5, "a5") + R(2, 15, "b15") + R(1, 20, "a20")}}, {},
       "2:b7 1:a10 1:a5 2:b15 1:a20 ", ""},
      {"lines that are no record follow the record before them in the file",
       {{"s.jsonl", R(1, 10, "a10") + kBad + R(2, 5, "b5") + R(1, 20, "a20")}}, {},
       "2:b5 1:a10 ?:garbage "
       "?:{\"kind\":\"runtime\", \"thread\":1, \"file\":\"a.c\", \"line\":1, \"message\":\"no time\", \"level\":1, \"log\":\"x\"} "
       "?:{\"kind\":\"runtime\", \"time\":\"2026-12-9T1:0:0.7\", \"thread\":1, \"file\":\"a.c\", \"line\":1, \"message\":\"m\", \"level\":1, \"log\":\"x\"} "
       "?:{\"kind\":\"runtime\", \"time\":\"2026-12-09T01:00:00.007\", \"thread\":\"1\", \"file\":\"a.c\", \"line\":1, \"message\":\"m\", \"level\":1, \"log\":\"x\"} "
       "?:{\"kind\":\"assert\", \"time\":\"2026-12-09T01:00:00.007\", \"thread\":1, \"file\":\"a.c\", \"line\":1, \"expression\":\"e\"} "
       "?:{\"kind\":\"note\", \"text\":\"t\", \"log\":\"x\"} 1:a20 ",
       "vqlog: S/s.jsonl: 6 lines not a store record, shown as unparsed\n"},
      {"--host takes the claimed name",
       {{"a.jsonl", R(1, 10, "a") + R(3, 12, "forged", "h2")}, {"b.jsonl", R(2, 5, "b", "h2", "10.0.0.2")}},
       {"--host", "h2", "/no/app_1_2026-12-9-1-0-0_runtime.log"}, "2:b 3:forged ",
       "vqlog: skipped /no/app_1_2026-12-9-1-0-0_runtime.log: --host selects records of the central store, and a "
       "log file names no host\n"},
      {"--host takes the peer",
       {{"a.jsonl", R(1, 10, "a") + R(3, 12, "forged", "h2")}, {"b.jsonl", R(2, 5, "b", "h2", "10.0.0.2")}},
       {"--host", "10.0.0.1"}, "1:a 3:forged ", ""},
  };
  for (const Case& c : cases) {
    vqtest::ScratchDir dir;
    for (const auto& [name, content] : c.files) vqtest::WriteFileBytes(dir.Join(name), content);
    std::vector<std::string> args = {"show", "--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(dir.path());
    vqtest::ToolRun run = vqtest::RunProgram(VQLOG_PATH, args);
    EXPECT_EQ(run.status, 0) << c.name;
    EXPECT_EQ(Projected(run.out), c.shown) << c.name;
    std::string notes = c.notes;
    for (size_t at; (at = notes.find("S/")) != std::string::npos;) notes.replace(at, 1, dir.path());
    EXPECT_EQ(run.err, notes) << c.name;
  }
}

TEST(VqlogStoreTest, JsonGivesTheStoreLinesValues) {
  vqtest::ScratchDir dir;
  vqtest::WriteFileBytes(
      dir.Join("s.jsonl"),
      "{\"log_line\":7, \"kind\":\"assert\", \"time\":\"2026-12-09T01:00:00.007\", \"thread\":1, \"file\":\"a\\/b.c\", "
      "\"line\":-3, \"expression\":\"caf\\u00e9\\r\\n\\\"x\\\"\", \"exe\":\"app\", \"pid\":5, \"host\":\"h\", "
      "\"peer\":\"::1\", \"log\":\"C:\\\\logs\\\\app_5_2026-12-9-1-0-0_assert.log\", \"extra\":[1]}\n");
  vqtest::ToolRun run = vqtest::RunProgram(VQLOG_PATH, {"show", "--json", dir.Join("s.jsonl")});
  EXPECT_EQ(run.out,
            "{\"kind\":\"assert\",\"time\":\"2026-12-09T01:00:00.007\",\"thread\":1,\"file\":\"a/b.c\",\"line\":-3,"
            "\"expression\":\"caf\xC3\xA9\\r\\n\\\"x\\\"\",\"exe\":\"app\",\"pid\":5,\"host\":\"h\",\"peer\":\"::1\","
            "\"log\":\"C:\\\\logs\\\\app_5_2026-12-9-1-0-0_assert.log\",\"log_line\":7}\n");
}

// Lanes read in any order give each lane's records in its order, also when
// records read ahead for other lanes pass the budget and a lane reads on by
// itself. Re-sent records are dropped, and only they: also when every
// record's hash is the same, which makes each one's line read again.
TEST(StoreReaderTest, EachLaneKeepsItsOrderUnderAnyBudget) {
  vqtest::ScratchDir dir;
  std::string content;
  for (int pid = 1; pid <= 3; ++pid) {
    for (int i = 0; i < 40; ++i) content += R(pid, i, std::to_string(i));
    if (pid == 2) content += R(1, 38, "38") + R(1, 39, "39");  // lane 0 sent again
  }
  content += R(1, 999, "last");
  vqtest::WriteFileBytes(dir.Join("s.jsonl"), content);
  for (size_t budget : {size_t{1}, size_t{5}, size_t{1000}})
  for (vqlog::ResendFilter::Hash hash : {&vqlog::ResendHash, +[](const vqlog::Record&) { return uint64_t{7}; }}) {
    vqlog::StoreReadAhead read_ahead;
    read_ahead.max_records = budget;
    vqlog::StoreReader store(dir.Join("s.jsonl"), {}, &read_ahead);
    store.SetResendHash(hash);
    ASSERT_TRUE(store.Index(false));
    ASSERT_EQ(store.lane_count(), 3u);
    std::vector<std::string> got(3), want(3);
    vqlog::Record r;
    for (size_t lane : {2, 1, 0}) {  // the last lane first: the others are read past
      if (store.Next(lane, &r)) got[lane] += r.text + " ";
    }
    for (bool any = true; any;) {
      any = false;
      for (size_t lane = 0; lane < 3; ++lane) {
        if (store.Next(lane, &r)) got[lane] += r.text + " ", any = true;
      }
    }
    for (int i = 0; i < 40; ++i) {
      for (std::string& w : want) w += std::to_string(i) + " ";
    }
    want[0] += "last ";
    EXPECT_EQ(got, want) << "budget " << budget << (hash == &vqlog::ResendHash ? "" : ", one hash for all");
    EXPECT_EQ(store.resent(), 2) << "budget " << budget;
  }
}

TEST(VqlogStoreTest, FollowShowsAppendedRecordsOnce) {
  vqtest::ScratchDir dir;
  const std::string store = dir.Join("s.jsonl"), out_path = dir.Join("follow.out");
  vqtest::WriteFileBytes(store, R(1, 10, "a"));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!freopen(out_path.c_str(), "w", stdout)) _exit(127);
    execl(VQLOG_PATH, VQLOG_PATH, "show", "--json", "--follow", store.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  auto wait_for = [&](const std::string& want) {
    for (int i = 0; i < 500 && Projected(vqtest::ReadFileBytes(out_path)) != want; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Projected(vqtest::ReadFileBytes(out_path));
  };
  EXPECT_EQ(wait_for("1:a "), "1:a ");
  vqtest::WriteFileBytes(store, R(1, 10, "a") + R(2, 20, "b") + R(1, 10, "a") + R(1, 30, "c"));
  EXPECT_EQ(wait_for("1:a 2:b 1:c "), "1:a 2:b 1:c ");
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(VqlogStoreTest, LsListsAStoresProcessesPerHost) {
  vqtest::ScratchDir dir;
  std::string assert_line = R(1, 30, "x");
  assert_line.replace(assert_line.find("runtime\""), 8, "assert\"");
  assert_line.replace(assert_line.find("\"message\""), 9, "\"expression\"");
  assert_line.replace(assert_line.find("_runtime.log"), 12, "_assert.log");
  vqtest::WriteFileBytes(dir.Join("s.jsonl"), R(1, 10, "a") + R(2, 5, "b", "h2") + assert_line + R(1, 10, "a"));
  vqtest::ToolRun run = vqtest::RunProgram(VQLOG_PATH, {"ls", dir.path()});
  EXPECT_EQ(run.out,
            "HOST  PEER      EXE  PID  START                RUNTIME  ASSERT  FIRST                    LAST       "
            "              BYTES\n"
            "h1    10.0.0.1  app    1  2026-12-09 01:00:00        1       1  2026-12-09 01:00:00.010  "
            "2026-12-09 01:00:00.030    437\n"
            "h2    10.0.0.1  app    2  2026-12-09 01:00:00        1       -  2026-12-09 01:00:00.005  "
            "2026-12-09 01:00:00.005    218\n");
  EXPECT_EQ(run.status, 0) << run.err;
}

}  // namespace
