// The simulator's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/simulator/device.h"

namespace quillon::sim {

inline constexpr std::uint16_t kDefaultUdpPort = 50000;

struct Options {
  std::uint16_t serial_number = 1234;
  bool pty = false;
  std::string link_path;
  std::optional<std::string> udp_address;
  std::uint16_t udp_port = kDefaultUdpPort;

  Profile profile;
  Faults faults;
  int stray_bytes = 0;
  int stray_times = 1;  // identify replies that get them; 0 = every one
  int split_pieces = 1;
  int split_pause_ms = 0;
  int reply_delay_ms = 0;
  std::optional<int> duplicate_after_ms;
  std::optional<Kind> exit_after;

  // Serial numbers of the devices behind the UDP port; the first is also the one on the pty.
  std::vector<std::uint16_t> device_serials;
  // Device k answers from this address + k (host order), when set.
  std::optional<std::uint32_t> device_addresses_from;
  int device_stagger_ms = 0;

  std::string log_path;
  std::string record_path;
  bool exit_on_stdin_eof = false;
};

enum class ParseOutcome { kRun, kHelp, kError };

// Fills `options`; on kError `error` names the offending argument.
ParseOutcome ParseOptions(const std::vector<std::string>& args, Options* options,
                          std::string* error);

const char* HelpText();

}  // namespace quillon::sim
