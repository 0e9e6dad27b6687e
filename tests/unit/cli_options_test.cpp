#include "app/cli_options.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillon {
namespace {

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
  EXPECT_EQ(Parse({"--address", "10.0.0.1\x07"}, false).error,
            "--address: '10.0.0.1\\x07' is not an IPv4 address");
}

}  // namespace
}  // namespace quillon
