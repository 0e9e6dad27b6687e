// quillon-reconfigurator-cli: the Start procedure without a window, for scripts and tests.

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "app/cli_options.h"
#include "app/console.h"
#include "app/front_end.h"
#include "link/datagram_socket.h"
#include "link/trace.h"
#include "reconfig/reconfig_session.h"

namespace quillon {
namespace {

// Prints the outcome after the Start: stdout on success, stderr otherwise.
class CliSink final : public MessageSink {
 public:
  explicit CliSink(bool stages) : m_stages(stages) {}
  void ShowMessage(std::string_view text, int /*style*/) override { m_message = text; }
  void Stage(std::string_view what) override {
    if (m_stages) std::cerr << "... " << what << std::endl;
  }
  const std::string& message() const { return m_message; }

 private:
  bool m_stages;
  std::string m_message;
};

void EnableHexTrace() {
  const auto start = std::chrono::steady_clock::now();
  auto stamp = [start]() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    char buf[24];
    std::snprintf(buf, sizeof buf, "%7lld ms ", static_cast<long long>(ms));
    return std::string(buf);
  };
  SetWireTrace(
      [stamp](std::string_view what, std::span<const std::uint8_t> data) {
        std::string line = stamp();
        line.append(what).append(" ").append(std::to_string(data.size())).append(" bytes:");
        char hex[4];
        for (const std::uint8_t byte : data) {
          std::snprintf(hex, sizeof hex, " %02X", byte);
          line += hex;
        }
        std::cerr << line << '\n';
      },
      [stamp](std::string_view note) { std::cerr << stamp() << note << '\n'; });
}

int Run(int argc, char** argv) {
  const CliParse parsed = ParseCommandLine(argc, argv);
  if (!parsed.ok) {
    std::cerr << "quillon-reconfigurator-cli: " << parsed.error << '\n';
    return 2;
  }
  const CliOptions& o = parsed.options;
  switch (o.action) {
    case CliOptions::Action::kHelp:
      std::cout << CliUsage();
      return 0;
    case CliOptions::Action::kVersion:
      std::cout << "quillon-reconfigurator-cli " << kProductVersion << '\n';
      return 0;
    case CliOptions::Action::kListPorts:
      ApplyPortOptions(o);
      std::cout << DescribePortsAndNetworks(o);
      return 0;
    case CliOptions::Action::kStart:
      break;
  }

  const SocketInterface sockets;
  if (!sockets.started()) {
    std::cerr << kTextSocketInitFailed << '\n';
    return 1;
  }
  if (o.verbose) EnableHexTrace();
  ApplyPortOptions(o);
  CliSink sink(StderrIsTerminal());
  bool done = false;
  {
    PowerModuleRecord record;
    std::unique_ptr<DatagramSocket> socket = MakeLinkSocket(o);
    LinkEndpoint endpoint;
    ReconfigSession session(sink, record, socket, endpoint, MakeSearchOptions(o));
    done = session.StartProcedure(o.serial);
  }
  (done ? std::cout : std::cerr) << sink.message() << std::endl;
  return done ? 0 : 1;
}

}  // namespace
}  // namespace quillon

int main(int argc, char** argv) {
  return quillon::Run(argc, argv);
}
