// The console control loop of a running serve child: every answer of its table, the trimming
// rule, long lines, change lines before the answer that caused them, and the ways it stops.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "fs_fixture.h"
#include "long_root_path.h"
#include "serve_session.h"

namespace {

struct exchange {
  std::string line;
  std::string answer;
};

void expect_exchanges(serve_session& s, const std::vector<exchange>& rows) {
  for (const exchange& e : rows) {
    SCOPED_TRACE(e.line.substr(0, 60));
    EXPECT_EQ(s.ask(e.line), e.answer);
  }
}

}  // namespace

TEST(ServeStart, ListeningLineShowsTheChosenPort) {
  // "--root" is only the value of --name here, never an option word.
  serve_session s({"--name", "--root", "--threads", "2"});
  ASSERT_NE(s.port, 0) << s.listening;
  EXPECT_EQ(s.listening,
            "listening 127.0.0.1:" + std::to_string(s.port) + " roots=0 version=1.0.0");
  EXPECT_EQ(s.ask("status"), s.status_line() + "0");
  EXPECT_EQ(s.ask("roots"), "[]");
  s.quit_cleanly();
}

TEST(ServeStart, RootsFromTheCommandLineAreRegisteredInOrder) {
  temp_tree t;
  t.file("song.mp3", "abc");
  t.dir("films");
  serve_session s({"--root", "music=" + t.root(), "--root", "one=" + t.path("song.mp3")});
  ASSERT_NE(s.port, 0) << s.listening;
  EXPECT_EQ(s.roots, 2);
  EXPECT_EQ(s.ask("roots"), "[{\"name\":\"music\",\"path\":\"" + json_text(t.root()) +
                                "\",\"kind\":\"folder\"},{\"name\":\"one\",\"path\":\"" +
                                json_text(t.path("song.mp3")) + "\",\"kind\":\"file\"}]");
  EXPECT_EQ(s.ask("status"), s.status_line() + "2");
  s.quit_cleanly();
}

TEST(Console, AddAndRemoveAnswerWithCodeAndMessage) {
  temp_tree t;
  const std::string dir = t.root();
  const std::string api_taken = "root name api is taken by the server's /api/ endpoints";
  serve_session s;
  ASSERT_NE(s.port, 0) << s.listening;
  expect_exchanges(s, {
                          {"add music=" + dir, "add 0 "},
                          {"add music=" + dir, "add -1 root name already used: music"},
                          // A malformed add makes no call and answers in its own words, whatever
                          // the call before it left.
                          {"add x", "add -1 root needs NAME=PATH"},
                          {"status", s.status_line() + "1"},
                          {"add =p", "add -1 root needs NAME=PATH"},
                          {"add " + std::string(160, 'n') + "=" + dir, "add -1 root name too long"},
                          {"add " + std::string(129, 'n') + "=" + dir,
                           "add -1 root name must be 1..128 URL-safe chars"},
                          {"add films=" + t.path("missing"),
                           "add -4 " + t.path("missing") + " is not a file or folder"},
                          {"add films=" + over_long_path_into(dir), "add -1 path too long"},
                          {"add API=" + dir, "add -1 " + api_taken},
                          {"remove nobody", "remove -4 no root named nobody"},
                          {"add =p", "add -1 root needs NAME=PATH"},
                          // Everything after the one space is the name, leading spaces included.
                          {"remove  music", "remove -4 no root named  music"},
                          {"remove music", "remove 0 "},
                          {"roots", "[]"},
                          {"status", s.status_line() + "0"},
                      });
  s.quit_cleanly();
}

TEST(Console, UnknownLinesAnswerQuestionMark) {
  serve_session s;
  ASSERT_NE(s.port, 0) << s.listening;
  expect_exchanges(s, {
                          {" quit", "?"},
                          {"QUIT", "?"},
                          {"quit\t", "?"},
                          {"add", "?"},
                          {"remove", "?"},
                          {"add ", "?"},  // trimmed to "add"
                          {"statusx", "?"},
                          {"Status", "?"},
                          {"\tstatus", "?"},
                          {"status \r", s.status_line() + "0"},
                      });
  s.quit_cleanly();
}

TEST(Console, EmptyLinesAnswerNothing) {
  serve_session s;
  ASSERT_NE(s.port, 0) << s.listening;
  // The first answer after the blank lines must be the status line itself.
  ASSERT_TRUE(s.child.write("\n   \n\r\n \r \n"));
  EXPECT_EQ(s.ask("status"), s.status_line() + "0");
  s.quit_cleanly();
}

TEST(Console, EveryLineGetsOneAnswerHoweverLong) {
  serve_session s;
  ASSERT_NE(s.port, 0) << s.listening;
  // A line over 2,047 bytes, or one holding a zero byte, is refused whole: no piece of it runs.
  // Each row's answer being the next line out shows that nothing more was answered before it.
  expect_exchanges(s, {
                          {std::string(3000, 'x'), "?"},
                          {"remove " + std::string(2040, 'x') + "quit", "?"},
                          {"status" + std::string(2042, ' '), "?"},
                          {"status" + std::string(2041, ' '), s.status_line() + "0"},
                          {std::string("status\0quit", 11), "?"},
                          {std::string("add a=b\0", 8), "?"},
                          {"status", s.status_line() + "0"},
                      });
  s.quit_cleanly();
}

TEST(Console, PollPrintsTheChangeLineBeforeTheNextAnswer) {
  temp_tree t;
  t.file("a.txt", "a");
  serve_session s({"--root", "music=" + t.root()});
  ASSERT_NE(s.port, 0) << s.listening;
  // Nothing has changed since the root was registered.
  ASSERT_TRUE(s.child.write("poll\n"));
  EXPECT_EQ(s.ask("status"), s.status_line() + "1");

  t.file("b.txt", "b");
  ASSERT_TRUE(s.child.write("poll\n"));
  EXPECT_EQ(s.ask("status"), "change music ");
  EXPECT_EQ(s.child.read_line().value_or("(none)"), s.status_line() + "1");

  // Reported once: the next pass finds nothing new.
  ASSERT_TRUE(s.child.write("poll\n"));
  EXPECT_EQ(s.ask("status"), s.status_line() + "1");
  s.quit_cleanly();
}

TEST(Console, PollEveryRunsPassesByItselfAndActivityIsOneLine) {
  temp_tree t;
  t.file("a.txt", "a");
  serve_session s({"--poll-every", "1", "--root", "music=" + t.root()});
  ASSERT_NE(s.port, 0) << s.listening;
  EXPECT_EQ(s.ask("activity"), "{\"connections\":0,\"streams\":[]}");
  // A line written in two parts is answered once whole, passes running meanwhile.
  ASSERT_TRUE(s.child.write("sta"));
  EXPECT_EQ(s.child.read_line(1500), std::nullopt);
  EXPECT_EQ(s.ask("tus"), s.status_line() + "1");
  t.file("b.txt", "b");
  EXPECT_EQ(s.child.read_line(5000).value_or("(none)"), "change music ");
  s.quit_cleanly();
}

TEST(Console, ReAddedRootStartsAfreshAndReportsLaterChanges) {
  temp_tree t;
  t.file("a.txt", "a");
  serve_session s;
  ASSERT_NE(s.port, 0) << s.listening;
  EXPECT_EQ(s.ask("add music=" + t.root()), "add 0 ");
  EXPECT_EQ(s.ask("remove music"), "remove 0 ");
  t.file("b.txt", "b");
  // The fingerprint went with the root: the add's own pass has nothing to compare against.
  EXPECT_EQ(s.ask("add music=" + t.root()), "add 0 ");
  t.file("c.txt", "c");
  ASSERT_TRUE(s.child.write("poll\n"));
  EXPECT_EQ(s.ask("status"), "change music ");
  EXPECT_EQ(s.child.read_line().value_or("(none)"), s.status_line() + "1");
  s.quit_cleanly();
}

TEST(Console, QuitEndsTheLoopAfterTrimming) {
  for (const std::string quit : {"quit\n", "quit  \n", "quit\r\n", "quit \r \n"}) {
    SCOPED_TRACE(quit);
    serve_session s;
    ASSERT_NE(s.port, 0) << s.listening;
    ASSERT_TRUE(s.child.write(quit));
    std::string out, err;
    EXPECT_EQ(s.child.finish(out, err), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
  }
}

TEST(Console, StopSignalsEndAWaitingLoopWithStatusZero) {
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    serve_session s;
    ASSERT_NE(s.port, 0) << s.listening;
    // The answer proves the handlers are installed; once the child sleeps, it waits in its read
    // of standard input, which the signal must cut short.
    EXPECT_EQ(s.ask("status"), s.status_line() + "0");
    ASSERT_TRUE(s.child.wait_until_sleeping());
#if _WIN32
    // Ctrl+Break travels through a console shared with the child; Wine's consoles refuse to
    // generate the event (ERROR_INVALID_ACCESS or ERROR_INVALID_HANDLE).
    if (!s.child.send_signal(sig)) {
      s.quit_cleanly();
      GTEST_SKIP() << "this system delivers no console control event to the child";
    }
#else
    ASSERT_TRUE(s.child.send_signal(sig));
#endif
    EXPECT_EQ(s.child.wait_exit(), 0);
    EXPECT_EQ(s.child.read_stderr_to_end(), "");
  }
}

TEST(Console, StopSignalDropsTheUnfinishedLine) {
  temp_tree t;
  struct row {
    int sig;
    std::string partial;
  };
  const row rows[] = {{SIGTERM, "remove s"}, {SIGINT, "add y=" + t.root()}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.partial);
    serve_session s({"--root", "s=" + t.root()});
    ASSERT_NE(s.port, 0) << s.listening;
    ASSERT_TRUE(s.child.write(r.partial));
    // Asleep with the line read so far: the signal cuts that read short.
    ASSERT_TRUE(s.child.wait_until_sleeping());
#if _WIN32
    // The child is killed on the way out: a "quit" would only complete the unfinished line.
    if (!s.child.send_signal(r.sig)) {
      GTEST_SKIP() << "this system delivers no console control event to the child";
    }
#else
    ASSERT_TRUE(s.child.send_signal(r.sig));
#endif
    // Standard input stays open until the child has ended: end of input would complete the line.
    EXPECT_EQ(s.child.wait_exit(), 0);
    std::string out, err;
    s.child.finish(out, err);
    EXPECT_EQ(out, "");  // neither "remove 0 " nor "add 0 "
    EXPECT_EQ(err, "");
  }
}

TEST(Console, ClosedStandardOutputStopsWithStatusZero) {
  serve_session s;
  ASSERT_NE(s.port, 0) << s.listening;
  s.child.close_stdout();
  // The answer to this line is the first write that finds nobody reading.
  ASSERT_TRUE(s.child.write("status\n"));
  EXPECT_EQ(s.child.wait_exit(), 0);
  EXPECT_EQ(s.child.read_stderr_to_end(), "");
}
