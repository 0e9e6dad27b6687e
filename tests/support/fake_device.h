// A scripted Quillon for unit tests on the fake platform: the simulator's device, attached to fake
// ports and sockets, with the faults of a serial line and a few of its own switched on top.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/fake_platform.h"
#include "support/frames.h"
#include "tools/simulator/device.h"

namespace quillon::testing {

struct FakeDeviceConfig {
  IdentifyFields identify;  // the serial number is taken when the device is made
  bool silent = false;
  bool answerModeSwitch = false;
  std::size_t modeSwitchAnswerBytes = 136;  // what an answered mode switch leaves queued
  bool badStatus = false;
  std::uint16_t serviceVersion = 5;
  bool echoRecord = true;
  int serviceError = -1;            // error code for service command 0, or -1
  std::vector<std::uint8_t> stray;  // sent ahead of every identify reply
  bool strayOnce = false;           // ... of the first one only
  int delayMs = 30;
};

class FakeDevice {
 public:
  explicit FakeDevice(FakeDeviceConfig config = {});
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  // The answer to one request (empty: none). Over UDP command replies get their prefix.
  Bytes Answer(const Bytes& request, bool udp);

  void AttachSerial(FakePort& port);
  void AttachUdp(FakeSocket& socket, std::string address, std::uint16_t port = 50000);

  FakeDeviceConfig& config() { return m_config; }
  // Kinds of the requests received, in order: identify, status, mode, svc0..svc5, unknown.
  std::vector<std::string> received;
  Bytes lastRecord;
  bool serviceMode = false;

 private:
  // The device's profile and faults as the configuration has them now.
  void TakeConfig();
  Bytes AnswerCommand(sim::Kind kind, const Bytes& request, bool udp);
  Bytes AnswerService(const Bytes& request, bool udp);

  FakeDeviceConfig m_config;
  sim::Profile m_profile;
  sim::Faults m_faults;
  sim::Device m_device;
};

// Counts the received kinds equal to `kind`.
int Count(const std::vector<std::string>& kinds, const std::string& kind);

}  // namespace quillon::testing
