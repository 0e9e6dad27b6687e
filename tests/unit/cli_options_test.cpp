#include "app/cli_options.h"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <string>
#include <vector>

namespace quillon {
namespace {

// A --serials-from file in the test's temporary folder; its path lives as long as the test.
const char* SerialsFile(const std::string& name, const std::string& text) {
  static std::deque<std::string> paths;  // never moves a path once given out
  paths.push_back(::testing::TempDir() + name);
  std::ofstream(paths.back()) << text;
  return paths.back().c_str();
}

CliParse Parse(std::vector<const char*> args, bool requireSerial = true) {
  args.insert(args.begin(), "quillon-reconfigurator-cli");
  return ParseCommandLine(static_cast<int>(args.size()), args.data(), requireSerial);
}

TEST(CliOptions, AcceptsTheContract) {
  const CliParse r = Parse({"--serial", "1234", "--port", "/dev/pts/7", "--port", "/tmp/x",
                            "--address", "10.0.0.255", "--verbose"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.options.action, CliOptions::Action::kStart);
  EXPECT_EQ(r.options.serial, 1234);
  EXPECT_EQ(r.options.ports, (std::vector<std::string>{"/dev/pts/7", "/tmp/x"}));
  EXPECT_EQ(r.options.addresses, std::vector<std::string>{"10.0.0.255"});
  EXPECT_TRUE(r.options.verbose);

  EXPECT_EQ(Parse({"--list-ports"}).options.action, CliOptions::Action::kListPorts);
  EXPECT_EQ(Parse({"--help"}).options.action, CliOptions::Action::kHelp);
  EXPECT_EQ(Parse({"--version"}).options.action, CliOptions::Action::kVersion);
  EXPECT_TRUE(Parse({"--serial", "0", "--no-serial"}).ok);
  EXPECT_TRUE(Parse({"--serial", "65535", "--no-udp"}).ok);
  EXPECT_TRUE(Parse({"--no-udp"}, false).ok);                 // the dialog takes no serial number
  EXPECT_TRUE(Parse({"--no-serial", "--no-udp"}, false).ok);  // the dialog without traffic

  // The conventions: --name=value, short options, --help and --version win.
  const CliParse eq = Parse({"--serial=42", "--port=/dev/ttyS1", "-v", "--json"});
  ASSERT_TRUE(eq.ok) << eq.error;
  EXPECT_EQ(eq.options.serial, 42);
  EXPECT_EQ(eq.options.ports, std::vector<std::string>{"/dev/ttyS1"});
  EXPECT_TRUE(eq.options.verbose && eq.options.json);
  EXPECT_EQ(Parse({"--scan", "--no-serial"}).options.action, CliOptions::Action::kScan);
  EXPECT_EQ(Parse({"-h", "--bogus", "--serial", "x"}).options.action, CliOptions::Action::kHelp);
  EXPECT_EQ(Parse({"--serial", "1", "--serial", "2", "-V"}).options.action,
            CliOptions::Action::kVersion);
  EXPECT_TRUE(Parse({"--serial", "1", "--address", "255.255.255.255"}).ok);

  // Several numbers: --serial again and again, and a file with blank lines and comments.
  const char* campaign = SerialsFile("campaign", "# site A\n\n  7 \r\n65535 # the last\n");
  const CliParse several = Parse({"--serial", "3", "--serials-from", campaign, "--serial=9"});
  ASSERT_TRUE(several.ok) << several.error;
  EXPECT_EQ(several.options.serials, (std::vector<std::uint16_t>{3, 7, 65535, 9}));
  EXPECT_EQ(several.options.serial, 3);
  EXPECT_EQ(Parse({"--leave-service-mode", "--address", "10.0.0.7"}).options.action,
            CliOptions::Action::kLeaveServiceMode);
}

TEST(CliOptions, RefusesEverythingElse) {
  const std::vector<std::vector<const char*>> bad = {
      {},
      {"--serial"},
      {"--serial", "65536"},
      {"--serial", "-1"},
      {"--serial", "12a"},
      {"--serial", "1.5"},
      {"--serial", ""},
      {"--serial", "000001"},
      {"--serial", "1", "--port"},
      {"--serial", "1", "--address", "10.0.0"},
      {"--serial", "1", "--address", "256.0.0.1"},
      {"--serial", "1", "--bogus"},
      {"--serial", "1", "--no-serial", "--port", "/dev/ttyS0"},
      {"--serial", "1", "--no-udp", "--address", "10.0.0.1"},
      {"--serial", "1", "--serial", "1"},
      {"--serial", "1", "--no-serial", "--no-udp"},
      {"--serial", "1", "--list-ports"},
      {"--serial", "1", "--scan"},
      {"--serial", "1", "--address", "0.0.0.0"},
      {"--serial", "1", "--address", "224.0.0.251"},
      {"--serial", "1", "--", "--verbose"},
      {"--serial", "1", "stray"},
      {"--serial", "1", "--verbose=yes"},
      {"--serials-from"},
      {"--serials-from", "/nonexistent/serials"},
      {"--serials-from", SerialsFile("empty", "# nothing yet\n")},
      {"--serials-from", SerialsFile("one", "1\n"), "--serials-from", SerialsFile("two", "2\n")},
      {"--serials-from", SerialsFile("one", "1\n"), "--scan"},
      {"--serials-from", SerialsFile("one", "1\n"), "--list-ports"},
      {"--leave-service-mode"},
      {"--leave-service-mode", "--serial", "1", "--port", "/dev/ttyS0"},
      {"--leave-service-mode", "--port", "/dev/ttyS0", "--address", "10.0.0.7"},
      {"--leave-service-mode", "--address", "10.0.0.7", "--address", "10.0.0.8"},
  };
  for (const auto& args : bad) {
    const CliParse r = Parse(args);
    std::string joined;
    for (const char* a : args) joined += std::string(a) + " ";
    EXPECT_FALSE(r.ok) << joined;
    EXPECT_FALSE(r.error.empty()) << joined;
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << joined;
  }
  EXPECT_FALSE(Parse({"--serial", "5"}, false).ok);
  EXPECT_FALSE(Parse({"--json"}, false).ok);

  std::vector<const char*> ports = {"--serial", "1"};
  for (int i = 0; i < 257; ++i) ports.insert(ports.end(), {"--port", "/dev/ttyS0"});
  EXPECT_EQ(Parse(ports).error, "--port is given more than 256 times");
  EXPECT_EQ(Parse({"--serial", "1", "--no-serial", "--port", "x"}).error,
            "--no-serial and --port exclude each other");
  EXPECT_EQ(Parse({"--serials-from", SerialsFile("bad", "12\n\n0x10\n")}).error,
            std::string("--serials-from: ") + ::testing::TempDir() +
                "bad line 3: '0x10' is not a whole number from 0 to 65535");
  EXPECT_EQ(Parse({"--serial", "12", "--serials-from", SerialsFile("again", "5\n12\n")}).error,
            "--serial: 12 is named twice");
  EXPECT_EQ(Parse({"--address", "10.0.0.1\x07"}, false).error,
            "--address: '10.0.0.1\\x07' is not an IPv4 address");
  // The first problem in the order given, a stray word included; short options stand alone.
  EXPECT_EQ(Parse({"--serial", "1", "stray", "--serial", "x"}).error,
            "unexpected argument 'stray' (see --help)");
  EXPECT_EQ(Parse({"--serial", "1", "-vh"}).error, "unknown option '-vh' (see --help)");
}

}  // namespace
}  // namespace quillon
