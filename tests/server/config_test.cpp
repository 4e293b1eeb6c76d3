// kobas_config: accepted and refused values per key, their messages, and the access-key check.
#include "server/config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "kobas.h"

namespace {

// Puts every key back to its default when a test ends, so tests do not leak settings. The
// server key cannot be emptied; with require_key 0 it is never looked at.
class config_reset {
 public:
  config_reset() = default;
  ~config_reset() {
    for (const char* key : {"bind_ip", "port", "threads", "server_name", "require_key"}) {
      kobas_config(key, "");
    }
  }
  config_reset(const config_reset&) = delete;
  config_reset& operator=(const config_reset&) = delete;
};

constexpr const char* bind_msg =
    "bind_ip must be an IPv4 literal of one interface (not 0.0.0.0/multicast/broadcast)";

struct config_row {
  const char* key;
  const char* value;
  int want;
  const char* message;  // "" when accepted
};

void expect_row(const config_row& r) {
  EXPECT_EQ(kobas_config(r.key, r.value), r.want);
  EXPECT_EQ(kobas_last_code(), r.want);
  EXPECT_STREQ(kobas_last_error(), r.message);
}

std::string row_name(const config_row& r) {
  return std::string(r.key ? r.key : "(null)") + "=" + (r.value ? r.value : "(null)");
}

}  // namespace

// Tests that start servers leave their settings behind, and the order of tests differs between
// builds: the defaults are read in a fresh process. The exit status names what differed: 1 the
// address, 2 the port, 4 the thread count, 8 the access check.
TEST(ConfigDeathTest, DefaultsOfAFreshProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const listen_settings s = cfg_listen_settings();
        std::exit((std::strcmp(s.bind_ip, "127.0.0.1") == 0 ? 0 : 1) + (s.port == 3321 ? 0 : 2) +
                  (s.threads == 4 ? 0 : 4) + (cfg_authorized(nullptr) == 1 ? 0 : 8));
      },
      testing::ExitedWithCode(0), "");
}

TEST(Config, KeyRequiredAndUnknown) {
  const config_row rows[] = {
      {nullptr, "x", -1, "key required"}, {"", "x", -1, "key required"},
      {"Port", "80", -1, "unknown key"},  {"port ", "80", -1, "unknown key"},
      {"server", "x", -1, "unknown key"},
  };
  for (const config_row& r : rows) {
    SCOPED_TRACE(row_name(r));
    expect_row(r);
  }
}

TEST(Config, PortValues) {
  config_reset reset;
  struct port_row {
    const char* value;
    int want;
    int port;  // stored port afterwards
  };
  const port_row rows[] = {
      {"8080", 0, 8080}, {"65536", -1, 8080}, {"-1", -1, 8080},   {"65535", 0, 65535},
      {"0", 0, 0},       {"abc", 0, 0},       {"81x", 0, 81},     {"99999999999999999999", -1, 81},
      {"", 0, 3321},     {"  82", 0, 82},     {nullptr, 0, 3321},
  };
  for (const port_row& r : rows) {
    SCOPED_TRACE(r.value ? r.value : "(null)");
    EXPECT_EQ(kobas_config("port", r.value), r.want);
    EXPECT_STREQ(kobas_last_error(), r.want == 0 ? "" : "port 0..65535");
    EXPECT_EQ(cfg_listen_settings().port, r.port);
  }
}

TEST(Config, ThreadValues) {
  config_reset reset;
  struct thread_row {
    const char* value;
    int want;
    int threads;
  };
  const thread_row rows[] = {
      {"16", 0, 16},  {"17", -1, 16}, {"0", -1, 16}, {"1", 0, 1},     {"-3", -1, 1},
      {"abc", -1, 1}, {"", 0, 4},     {"7x", 0, 7},  {nullptr, 0, 4},
  };
  for (const thread_row& r : rows) {
    SCOPED_TRACE(r.value ? r.value : "(null)");
    EXPECT_EQ(kobas_config("threads", r.value), r.want);
    EXPECT_STREQ(kobas_last_error(), r.want == 0 ? "" : "threads 1..16");
    EXPECT_EQ(cfg_listen_settings().threads, r.threads);
  }
}

TEST(Config, BindIpValues) {
  config_reset reset;
  struct ip_row {
    const char* value;
    int want;
    const char* stored;  // bind_ip afterwards
  };
  const ip_row rows[] = {
      {"192.168.1.20", 0, "192.168.1.20"},
      {"0.0.0.0", -1, "192.168.1.20"},
      {"00.0.0.0", -1, "192.168.1.20"},
      {"0.0.0.00", -1, "192.168.1.20"},
      {"255.255.255.255", -1, "192.168.1.20"},
      {"224.0.0.1", -1, "192.168.1.20"},
      {"239.255.255.250", -1, "192.168.1.20"},
      {"256.1.1.1", -1, "192.168.1.20"},
      {"1.2.3", -1, "192.168.1.20"},
      {"1.2.3.4 ", -1, "192.168.1.20"},
      {"1.2.3.4x", -1, "192.168.1.20"},
      {"1.2.3.4.5", -1, "192.168.1.20"},
      {"1..3.4", -1, "192.168.1.20"},
      {"-1.2.3.4", -1, "192.168.1.20"},
      {"4294967297.1.1.1", -1, "192.168.1.20"},  // must not wrap around to 1
      {"18446744073709551617.1.1.1", -1, "192.168.1.20"},
      {"localhost", -1, "192.168.1.20"},
      {"127.0.0.1", 0, "127.0.0.1"},
      {"10.0.0.0", 0, "10.0.0.0"},
      {"223.255.255.255", 0, "223.255.255.255"},
      {"240.0.0.1", 0, "240.0.0.1"},
      {"255.255.255.254", 0, "255.255.255.254"},
      {"0.0.0.1", 0, "0.0.0.1"},
      {" 10.1.2.3", -1, "0.0.0.1"},  // four dotted numbers and nothing else
      {"10.+1.2.3", -1, "0.0.0.1"},
      {"+1.+2.+3.+4", -1, "0.0.0.1"},
      {"10.1.2.\t3", -1, "0.0.0.1"},
      {"010.000001.2.3", 0, "010.000001.2.3"},
      {"", 0, "127.0.0.1"},
  };
  for (const ip_row& r : rows) {
    SCOPED_TRACE(r.value);
    EXPECT_EQ(kobas_config("bind_ip", r.value), r.want);
    EXPECT_STREQ(kobas_last_error(), r.want == 0 ? "" : bind_msg);
    EXPECT_STREQ(cfg_listen_settings().bind_ip, r.stored);
  }
  ASSERT_EQ(kobas_config("bind_ip", "010.000001.2.3"), 0);
  EXPECT_EQ(cfg_listen_settings().ip, 0x0A010203u);  // the address the listener binds
  kobas_config("bind_ip", "10.0.0.1");
  EXPECT_EQ(kobas_config("bind_ip", nullptr), 0);
  EXPECT_STREQ(cfg_listen_settings().bind_ip, "127.0.0.1");
}

TEST(Config, TextsAreJudgedWholeAndNeverCut) {
  config_reset reset;
  ASSERT_EQ(kobas_config("bind_ip", "10.0.0.1"), 0);
  // Both name an address that passes the test, but neither fits the 39-byte field, and a cut
  // copy would be another text ("0.0.0.000...0" is the any-address).
  const std::string zeros = "0.0.0." + std::string(33, '0') + "1";
  const std::string padded = "10.0.0." + std::string(32, '0') + "1";
  const std::string fits = "10.0.0." + std::string(31, '0') + "1";
  for (const std::string& v : {zeros, padded}) {
    EXPECT_EQ(kobas_config("bind_ip", v.c_str()), -1);
    EXPECT_STREQ(kobas_last_error(), bind_msg);
    EXPECT_STREQ(cfg_listen_settings().bind_ip, "10.0.0.1");
  }
  EXPECT_EQ(kobas_config("bind_ip", fits.c_str()), 0);
  EXPECT_EQ(std::string(cfg_listen_settings().bind_ip), fits);
  // The server name is never refused, and kept whole.
  const std::string name(300, 'n');
  EXPECT_EQ(kobas_config("server_name", name.c_str()), 0);
  char got[400];
  EXPECT_EQ(cfg_server_name(got, sizeof got), 300u);
  EXPECT_EQ(std::string(got), name);
  EXPECT_EQ(cfg_server_name(got, 4), 300u);
  EXPECT_STREQ(got, "nnn");
}

TEST(Config, ServerNameNeverRefused) {
  config_reset reset;
  EXPECT_EQ(kobas_config("server_name", std::string(300, 'n').c_str()), 0);
  EXPECT_EQ(kobas_config("server_name", ""), 0);
  char got[8];
  EXPECT_EQ(cfg_server_name(got, sizeof got), 4u);
  EXPECT_STREQ(got, "KOBA");
  EXPECT_EQ(kobas_config("server_name", nullptr), 0);
  EXPECT_EQ(kobas_last_code(), 0);
}

TEST(Config, RequireKeyValues) {
  config_reset reset;
  kobas_config("server_key", "k");
  const config_row rows[] = {
      {"require_key", "2", -1, "require_key 0|1"},
      {"require_key", "-1", -1, "require_key 0|1"},
      {"require_key", "1", 0, ""},
      {"require_key", "abc", 0, ""},
  };
  EXPECT_EQ(cfg_authorized(nullptr), 1);
  expect_row(rows[0]);
  expect_row(rows[1]);
  EXPECT_EQ(cfg_authorized(nullptr), 1);  // refused values left the flag at 0
  expect_row(rows[2]);
  EXPECT_EQ(cfg_authorized(nullptr), 0);
  EXPECT_EQ(kobas_config("require_key", "5"), -1);
  EXPECT_EQ(cfg_authorized(nullptr), 0);  // still required
  expect_row(rows[3]);                    // "abc" reads as 0
  EXPECT_EQ(cfg_authorized(nullptr), 1);
  kobas_config("require_key", "1");
  EXPECT_EQ(kobas_config("require_key", ""), 0);
  EXPECT_EQ(cfg_authorized(nullptr), 1);
}

TEST(Config, ServerKeyValues) {
  config_reset reset;
  kobas_config("require_key", "1");
  ASSERT_EQ(kobas_config("server_key", "old"), 0);
  const std::string k127(127, 'k');
  const std::string k128(128, 'k');
  const char* blank_msg = "server_key must not start or end with a space or tab";
  const config_row rows[] = {
      {"server_key", nullptr, -1, "server_key 1..127 chars"},
      {"server_key", "", -1, "server_key 1..127 chars"},
      {"server_key", k128.c_str(), -1, "server_key 1..127 chars"},
      // The Authorization value is trimmed of blanks, so such a key could never match.
      {"server_key", "key ", -1, blank_msg},
      {"server_key", " key", -1, blank_msg},
      {"server_key", "key\t", -1, blank_msg},
      {"server_key", " ", -1, blank_msg},
  };
  for (const config_row& r : rows) {
    SCOPED_TRACE(row_name(r).substr(0, 20));
    expect_row(r);
    EXPECT_EQ(cfg_authorized("Bearer old"), 1);  // the stored key is unchanged
  }
  EXPECT_EQ(kobas_config("server_key", "in side"), 0);
  EXPECT_EQ(cfg_authorized("Bearer in side"), 1);
  EXPECT_EQ(kobas_config("server_key", k127.c_str()), 0);
  EXPECT_EQ(cfg_authorized("Bearer old"), 0);
  EXPECT_EQ(cfg_authorized(("Bearer " + k127).c_str()), 1);
}

TEST(AccessKey, Table) {
  config_reset reset;
  ASSERT_EQ(kobas_config("server_key", "S3cret"), 0);
  ASSERT_EQ(kobas_config("require_key", "1"), 0);
  struct auth_row {
    const char* header;
    int want;
  };
  const auth_row rows[] = {
      {nullptr, 0},          {"", 0},
      {"Bearer S3cret", 1},  {"bearer S3cret", 1},
      {"BEARER S3cret", 1},  {"Bearer s3cret", 0},
      {"Bearer  S3cret", 0}, {"Bearer S3cret ", 0},
      {"Bearer S3cre", 0},   {"Bearer S3cretX", 0},
      {"Bearer ", 0},        {"Bearer", 0},
      {"BearerS3cret", 0},   {"Basic S3cret", 0},
      {"S3cret", 0},
  };
  for (const auth_row& r : rows) {
    SCOPED_TRACE(r.header ? r.header : "(null)");
    EXPECT_EQ(cfg_authorized(r.header), r.want);
  }
  // Without the requirement everything passes, whatever the header.
  ASSERT_EQ(kobas_config("require_key", "0"), 0);
  for (const auth_row& r : rows) {
    SCOPED_TRACE(r.header ? r.header : "(null)");
    EXPECT_EQ(cfg_authorized(r.header), 1);
  }
}

TEST(Version, LibraryVersion) {
  kobas_config("Port", "1");
  EXPECT_STREQ(kobas_version(), "1.0.0");
  EXPECT_EQ(kobas_last_code(), 0);
}

// The initial stored key is empty; with the requirement on, not even a bare "Bearer " passes.
// Run in a freshly started copy of this program, where no test has set a key yet.
TEST(AccessKeyDeathTest, EmptyStoredKeyRefusesEverything) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        kobas_config("require_key", "1");
        std::exit(cfg_authorized("Bearer ") + 2 * cfg_authorized("bearer ") +
                  4 * cfg_authorized(nullptr) + 8 * cfg_authorized(""));
      },
      testing::ExitedWithCode(0), "");
}

TEST(AccessKey, KeyChangesWhileCheckersRun) {
  config_reset reset;
  const std::string a(127, 'a');
  const std::string b(127, 'b');
  ASSERT_EQ(kobas_config("server_key", a.c_str()), 0);
  ASSERT_EQ(kobas_config("require_key", "1"), 0);
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) kobas_config("server_key", (i % 2 ? a : b).c_str());
  });
  int mixed = 0;
  const std::string half = "Bearer " + std::string(64, 'a') + std::string(63, 'b');
  for (int i = 0; i < 2000; ++i) mixed += cfg_authorized(half.c_str());
  writer.join();
  EXPECT_EQ(mixed, 0);
  EXPECT_EQ(cfg_authorized(("Bearer " + a).c_str()), 1);
}
