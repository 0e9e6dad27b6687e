#include "support/cli_under_test.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace quillon::testing {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::vector<std::string> WineCommand(const std::vector<std::string>& argv,
                                     const std::string& netns) {
  std::vector<std::string> command = {Env("QUILLON_TEST_WINE"), "run",
                                      Env("QUILLON_TEST_WINE_DIR")};
  if (!netns.empty()) command.insert(command.end(), {"--netns", netns});
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

}  // namespace

bool CliUnderWine() {
  return !Env("QUILLON_TEST_CLI_EXE").empty();
}

std::vector<std::string> CliCommand(const std::vector<std::string>& args,
                                    const std::string& netns) {
  std::vector<std::string> command;
  if (CliUnderWine()) {
    command = WineCommand({Env("QUILLON_TEST_CLI_EXE")}, netns);
  } else {
    if (!netns.empty()) command = {"ip", "netns", "exec", netns};
    command.push_back(QUILLON_CLI_PATH);
  }
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

ProcessResult RunCli(const std::vector<std::string>& args, int timeout_ms,
                     const std::function<void(pid_t)>& while_running, const std::string& netns) {
  ProcessResult r = RunProcess(CliCommand(args, netns), timeout_ms, while_running);
  if (CliUnderWine()) {
    for (std::string* text : {&r.out, &r.err}) std::erase(*text, '\r');
  }
  return r;
}

std::string CliPort(const std::string& pty, int n) {
  if (!CliUnderWine()) return pty;
  const std::string com = "COM" + std::to_string(10 + n);
  const std::string link =
      Env("QUILLON_TEST_WINE_DIR") + "/prefix/dosdevices/com" + std::to_string(10 + n);
  ::unlink(link.c_str());
  if (::symlink(pty.c_str(), link.c_str()) != 0) return "";
  RunInWine({"reg.exe", "add", "HKLM\\Software\\Wine\\Ports", "/v", com, "/t", "REG_SZ", "/d", pty,
             "/f"});
  return com;
}

void ListMappedPortsUnderWine() {
  if (CliUnderWine())
    RunProcess({Env("QUILLON_TEST_WINE"), "restart", Env("QUILLON_TEST_WINE_DIR")}, 60000);
}

std::string CliPortName(const std::string& port, int number) {
  return CliUnderWine() ? port : "COM" + std::to_string(number) + " (" + port + ")";
}

bool UseNetworkUnderWine(const std::string& address) {
  if (!CliUnderWine()) return true;
  const std::string key =
      "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces";
  RunInWine({"reg.exe", "delete", key, "/f"});
  return RunInWine({"reg.exe", "add", key + "\\{q-veth}", "/v", "IPAddress", "/t", "REG_MULTI_SZ",
                    "/d", address, "/f"})
                 .exitCode == 0 &&
         RunInWine({"reg.exe", "add", key + "\\{q-veth}", "/v", "SubnetMask", "/t", "REG_MULTI_SZ",
                    "/d", "255.255.255.0", "/f"})
                 .exitCode == 0;
}

ProcessResult RunInWine(const std::vector<std::string>& argv, const std::string& netns) {
  ProcessResult r = RunProcess(WineCommand(argv, netns), 60000);
  std::erase(r.out, '\r');
  return r;
}

}  // namespace quillon::testing
