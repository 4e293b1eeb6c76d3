// serve_session.h: one running "serve" child for the console and HTTP tests. It starts the
// executable on 127.0.0.1 with port 0, reads the listening line and the port it shows, and offers
// a question-and-answer helper over the control pipes. The child is killed if a test leaves it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "child_process.h"

struct serve_session {
  child_process child;
  std::string listening;  // the first line of standard output
  int port = 0;           // read back from the listening line
  int roots = -1;

  explicit serve_session(const std::vector<std::string>& extra_args = {})
      : child(kobas_bin(), args_for(extra_args)) {
    listening = child.read_line().value_or("(no listening line)");
    char version[16] = {};
    if (std::sscanf(listening.c_str(), "listening 127.0.0.1:%d roots=%d version=%15s", &port,
                    &roots, version) != 3)
      port = 0;
  }

  static std::vector<std::string> args_for(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"serve", "--bind", "127.0.0.1", "--port", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // Sends LINE and a line feed; returns the next line of output, or a marker when none came.
  std::string ask(const std::string& line) {
    child.write(line + "\n");
    return child.read_line().value_or("(no answer)");
  }

  std::string status_line() const { return "running=1 port=" + std::to_string(port) + " roots="; }

  // Sends "quit" and expects an orderly end: status 0, nothing more on either stream.
  void quit_cleanly() {
    child.write("quit\n");
    std::string out, err;
    EXPECT_EQ(child.finish(out, err), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
  }
};
