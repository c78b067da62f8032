// `vqlog show` and `ls` on logs written by a shell: what a directory scan
// reads, filtered merges, notes, descriptor limits, option checks, following.
#include <string>
#include <vector>

#include "tool_test_support.h"

namespace {

// $V: vqlog, ended after 30 s (a hang fails as 124); w NAME SECOND TEXT...: a runtime log, a record per TEXT.
const std::string kPrelude = "V='timeout --foreground 30 " VQLOG_PATH "'; w() { n=$1 t=$2; shift 2; "
    "printf '\\357\\273\\277TIMESTAMP\\tTHREAD_ID\\tFILENAME\\tLINE_NUMBER\\tLOGGED_DATA\\tLEVEL\\r\\n' >\"$n\"; "
    "for m; do printf '2026-1-1 0:0:%s.0\\t1\\ta.c\\t1\\t%s\\t1\\r\\n' \"$t\" \"$m\" >>\"$n\"; t=$((t+1)); done; }; ";

// After `setup`, each in a fresh directory: `script` prints what `reference` does, with this status and stderr.
struct Case { std::string script, reference; int status; std::string err; };

void CheckAll(const std::string& setup, const std::vector<Case>& cases) {
  auto Run = [&](const std::string& script, vqtest::ScratchDir dir = {}) {
    const std::string cd = "cd " + vqtest::ShellQuote(dir.path()) + " && ";
    return vqtest::RunProgram("bash", {"-c", kPrelude + cd + setup + "\n" + script});
  };
  for (const Case& c : cases) {
    vqtest::ToolRun run = Run(c.script), ref = Run(c.reference);
    EXPECT_EQ(ref.status, 0) << c.reference << ref.err;
    EXPECT_EQ(run.status, c.status) << c.script;
    EXPECT_EQ(run.out, ref.out) << c.script;
    EXPECT_EQ(run.err, c.err) << c.script;
  }
}

const std::string kA = "a_1_2026-1-1-0-0-0_runtime.log", kB = "b_2_2026-1-1-0-0-0_runtime.log";

TEST(VqlogSelectionTest, ADirectoryScanReadsRegularFilesOnly) {
  const std::string skipped = "'vqlog: skipped ./x_3_2026-1-1-0-0-0_runtime.log'{,} 'vqlog: skipped "
                              "./z_4_2026-1-1-0-0-0_runtime.log'{,}";
  CheckAll("w " + kA + " 1 m; mkfifo x_3_2026-1-1-0-0-0_runtime.log; ln -s /dev/zero z_4_2026-1-1-0-0-0_runtime.log",
           {{"$V show --json . 2>/dev/null", "$V show --json ./" + kA, 0, ""},
            {"$V ls --json . 2>/dev/null", "$V ls --json ./" + kA, 0, ""},
            {"{ $V show . && $V ls .; } 2>&1 >/dev/null | sort", "printf '%s: not a regular file\\n' " + skipped, 0,
             ""}});
}

TEST(VqlogSelectionTest, UntilShowsRecordsAfterAClockStepBack) {
  const std::string log = "app_7_2026-1-1-0-0-50_runtime.log";
  CheckAll("w " + log + " 50 before; echo '2026-1-1 0:0:10.0\t1\ta.c\t1\tafter\t1\r' >>" + log,
           {{"$V show --json --until '2026-1-1 0:0:20' .", "$V show --json --grep after .", 0, ""},
            {"$V show --json --until '2026-1-1 0:0:20' " + log, "$V show --json --grep after " + log, 0, ""}});
}

TEST(VqlogSelectionTest, ALineWithoutATimeStaysAfterTheRecordBeforeItUnderEveryFilter) {
  // The filtered output is the unfiltered one without the records filtered out.
  const std::string all = "$V show --json . 2>/dev/null | grep -v ";
  CheckAll("w " + kA + " 1 'keep one' x x x other; echo 'keep garbage line\r' >>" + kA + "; w " + kB + " 3 'keep two'",
           {{"$V show --json --grep keep . 2>/dev/null", all + "-e other -e '\"x\"'", 0, ""},
            {"$V show --json --since '2026-1-1 0:0:3' . 2>/dev/null", all + "-e 'one' -e 00:02", 0, ""},
            {"$V show --json --until '2026-1-1 0:0:4' . 2>/dev/null", all + "-e other", 0, ""}});
}

TEST(VqlogSelectionTest, NotesShowNamesSafely) {
  const std::string evil = "$'x\\e]0;OWNED\\a_1_2026-1-1-0-0-0_runtime.log'";
  const std::string shown = "x\\x1B]0;OWNED\\x07_1_2026-1-1-0-0-0_runtime.log";
  CheckAll("mkdir d l f d/" + evil + "; ln -s missing l/" + evil + "; w f/" + evil + " 1 m; echo $'\\e[2J\\r' >>f/" +
               evil,
           {{"$V show d", "", 3, "vqlog: skipped d/" + shown + ": a directory\nvqlog: no log to show\n"},
            {"$V ls l >/dev/null", "", 1, "vqlog: cannot open l/" + shown + ": No such file or directory\n"},
            {"$V show --grep nothing f/" + evil, "", 0,
             "vqlog: f/" + shown + ": 1 line not in the log format, shown as unparsed\n"}});
}

TEST(VqlogSelectionTest, OverlappingLogsAreAllReadUnderAnyDescriptorLimit) {
  const std::string setup = "for p in $(seq 1000 1299); do w app_${p}_2026-1-1-0-0-0_runtime.log 1 $(seq 20); done";
  CheckAll(setup, {{"ulimit -n 64; $V show --json .", "$V show --json .", 0, ""},
                   {"ulimit -n 128; $V show --json --grep 1 . | wc -l", "echo 3300", 0, ""},
                   {"ulimit -n 64; $V show --follow .", "", 1,
                    "vqlog: cannot follow 300 logs: at most 48 files may be open at once here (ulimit -n); select "
                    "fewer with --exe, --pid or --last\n"}});
}

TEST(VqlogSelectionTest, SelectorValuesAreChecked) {
  const std::string help = "\nRun with --help for more information.\n",
                    last = "--last: expected a whole number from 1 to 1000000000" + help,
                    pid = "--pid: expected a whole number from 0 to 4294967295" + help;
  CheckAll("mkdir e; w " + kA + " 1 m",
           {{"$V show --last 0 .", "", 105, last}, {"$V show --last -1 .", "", 105, last},
            {"$V ls --last abc .", "", 105, last}, {"$V show --last 99999999999999999999 .", "", 105, last},
            {"$V show --pid -5 .", "", 105, pid}, {"$V ls --pid 4294967296 .", "", 105, pid},
            {"$V show --json --last 1000000000 --pid 1 .", "$V show --json .", 0, ""},
            {"$V show e", "", 3, "vqlog: no log to show\n"}, {"$V ls e", "", 3, "vqlog: no log to list\n"}});
}

TEST(VqlogSelectionTest, FollowingADirectoryTakesInNewLogsAndLetsDeletedOnesGo) {
  // Two logs are written while it follows, of processes that started later.
  const std::string c = "c_3_2026-1-1-0-0-9_runtime.log", d = "b_4_2026-1-1-0-0-9_runtime.log";
  const std::string add = "w " + c + " 1 c; w " + d + " 1 d";
  auto follow = [&](const std::string& selectors, const std::string& shown, const std::vector<std::string>& joined,
                    const std::string& gone, std::string notes = "") {
    for (const std::string& log : joined) notes += "vqlog: following ./" + log + ", a new log\n";
    return Case{"$V show --json -f " + selectors + " . & sleep 0.5; " + add + "; sleep 2.5; rm " + gone +
                    "; sleep 1.5; kill $!; wait $!",
                add + "; $V show --json " + shown, 0,
                notes + "vqlog: ./" + gone + " was deleted; no longer following it\n"};
  };
  CheckAll("w " + kA + " 1 a; w " + kB + " 1 b",
           {follow("", ".", {c, d}, kA), follow("--exe b", "--exe b .", {d}, kB),
            follow("--last 1", "./" + kB + " ./" + d, {d}, kB),
            follow("--exe c", "--exe c .", {c}, c, "vqlog: no log to show yet; waiting for new ones\n")});
}

// A followed log that goes and comes back, or is replaced by a FIFO, and
// standard input among more logs than may be open at once.
TEST(VqlogSelectionTest, FollowedLogsThatGoAndComeBackAndStandardInputUnderTheLimit) {
  const std::string again = "vqlog: ./" + kA + " was deleted; no longer following it\nvqlog: following ./" + kA +
                            ", a new log\n";
  const std::string fifo = "vqlog: ./" + kA + " was replaced; reading the new file from the start\n"
                           "vqlog: cannot read ./" + kA + ": not a regular file\nvqlog: cannot open ./" + kA +
                           ": not a regular file\n";
  const std::string big =
      "mkdir big; for o in 1 2 3; do awk -v o=$o 'BEGIN { printf \"\\357\\273\\277H\\r\\n\"; for (k = 0; k < 30000; k++) "
      "{ t = o + 3 * k; printf \"2026-1-1 0:%d:%d.%d\\t%d\\ta.c\\t1\\tm%d\\t1\\r\\n\", t / 60000, t / 1000 % 60, t % 1000, o, k; "
      "if (k % 999 == 0) print \"no record\\r\" } }' > big/p_${o}_2026-1-1-0-0-0_runtime.log; done; ";
  CheckAll(big + "w " + kA + " 1 a; w " + kB + " 1 b",
           {{"$V show --json -f . & sleep 0.5; rm " + kA + "; sleep 1.5; w " + kA + " 5 back; sleep 2; kill $!; wait $!",
             "$V show --json .; w " + kA + " 5 back; $V show --json ./" + kA, 0, again},
            // b2 is appended in one write: rewriting the log would let the follower see it truncated.
            {"$V show --json -f ./" + kA + " ./" + kB + " & sleep 0.5; mkfifo p; mv p " + kA + "; sleep 1.5; w n 1 b b2; "
                 "tail -n 1 n >> " + kB + "; sleep 1; kill $!; wait $!",
             "$V show --json ./" + kA + "; w " + kB + " 1 b b2; $V show --json ./" + kB, 1, fifo},
            // Logs longer than a poll's share: followed in the order they are shown.
            {"$V show --json -f big 2>/dev/null & sleep 6; kill $!; wait $!", "$V show --json big", 0, ""},
            {"mkdir m; for i in $(seq 60); do w m/p_${i}_2026-1-1-0-0-0_runtime.log 1 x; done; "
             "(ulimit -n 64; $V show --json - m < " + kB + " | wc -l)",
             "echo 61", 0, ""}});
}

}  // namespace
