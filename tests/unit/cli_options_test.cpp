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
  EXPECT_TRUE(Parse({"--no-udp"}, false).ok);  // the dialog takes no serial number
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
}

}  // namespace
}  // namespace quillon
