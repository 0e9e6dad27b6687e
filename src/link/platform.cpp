#include "link/platform.h"

#include <chrono>
#include <thread>

#include "link/serial_port.h"

namespace quillon {
namespace {

class SystemPlatformImpl final : public Platform {
 public:
  std::int64_t NowMs() override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }

  void SleepMs(int ms) override {
    if (ms <= 0) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
  }

  SerialHandle OpenSerial(int n, std::string* why) override {
    // A scan opens COM1 first: read the system's list afresh then, once per scan.
    if (n == 1) RescanSerialPorts();
    const auto& table = CurrentSerialPortTable();
    for (const auto& port : table) {
      if (port.number == n) return SerialOpenPath(port.path, why);
    }
    if (why) *why = "no such port";
    return kInvalidSerialHandle;
  }

  long SerialQueued(SerialHandle h) override { return SerialQueuedCount(h); }
  long SerialRead(SerialHandle h, std::uint8_t* buf, long max) override {
    return SerialReadQueued(h, buf, max);
  }
  long SerialWrite(SerialHandle h, const std::uint8_t* buf, long n) override {
    return SerialWriteBytes(h, buf, n);
  }
  void SerialClose(SerialHandle h) override { SerialCloseHandle(h); }
  void SerialWaitInput(SerialHandle h, int ms) override {
    if (!SerialWaitReadable(h, ms)) SleepMs(1);
  }
  void SerialEnsureBaudRate(SerialHandle h) override { SerialEnsureBaud(h); }
};

Platform*& Installed() {
  static Platform* installed = nullptr;
  return installed;
}

}  // namespace

Platform& SystemPlatform() {
  static SystemPlatformImpl platform;
  return platform;
}

Platform& CurrentPlatform() {
  Platform* p = Installed();
  return p ? *p : SystemPlatform();
}

ScopedPlatform::ScopedPlatform(Platform& p) : previous_(Installed()) {
  Installed() = &p;
}
ScopedPlatform::~ScopedPlatform() {
  Installed() = previous_;
}

}  // namespace quillon
