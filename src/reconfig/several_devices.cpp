#include "reconfig/several_devices.h"

#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "link/endpoint.h"
#include "reconfig/power_module_record.h"

namespace quillon {
namespace {

// A device's messages go into its report only: the front end words all of them at the end.
class QuietSink final : public MessageSink {
 public:
  explicit QuietSink(Wording wording) : m_wording(wording) {}
  void ShowMessage(std::string_view, MessageStyle) override {}
  Wording wording() const override { return m_wording; }

 private:
  Wording m_wording;
};

// The front end's hooks for one device: each line names the device and stays whole, as the
// devices' threads take turns.
LinkHooks DeviceHooks(const LinkHooks* base, std::uint16_t serial, std::mutex& lock) {
  LinkHooks hooks;
  if (!base) return hooks;
  const std::string prefix = std::to_string(serial) + " ";
  if (base->wire) {
    hooks.wire = [base, prefix, &lock](std::string_view what, std::span<const std::uint8_t> data) {
      const std::lock_guard<std::mutex> guard(lock);
      base->wire(prefix + std::string(what), data);
    };
  }
  if (base->note) {
    hooks.note = [base, prefix, &lock](std::string_view note) {
      const std::lock_guard<std::mutex> guard(lock);
      base->note(prefix + std::string(note));
    };
  }
  return hooks;
}

}  // namespace

std::vector<DeviceStart> StartSeveral(const SeveralStarts& setup,
                                      const std::vector<std::uint16_t>& numbers,
                                      const std::function<void(const DeviceStart&)>& ended) {
  const std::int64_t start = setup.platform.NowMs();
  std::vector<SearchResult> judged;
  {
    DeviceSearch search(setup.options);
    const std::vector<std::int32_t> wanted(numbers.begin(), numbers.end());
    judged = search.JudgeDevices(Link(setup.platform, setup.searchSocket, setup.hooks), wanted);
  }
  const std::int64_t search_ms = setup.platform.NowMs() - start;

  std::vector<DeviceStart> starts(numbers.size());
  std::mutex lock;  // the hooks' and `ended`'s turns
  // One device's Start from its judgement on: on its own link, with its own record.
  auto run = [&](std::size_t i) {
    const std::uint16_t serial = numbers[i];
    const bool over_udp = judged[i].device && !judged[i].device->port.IsOpen();
    std::unique_ptr<DatagramSocket> socket = over_udp ? setup.makeSocket() : nullptr;
    const LinkHooks hooks = DeviceHooks(setup.hooks, serial, lock);
    QuietSink sink(setup.wording);
    PowerModuleRecord record;
    ReconfigSession session(sink, record, socket, setup.platform, setup.options, &hooks);
    session.ContinueStart(std::move(judged[i]), search_ms);
    const std::lock_guard<std::mutex> guard(lock);
    starts[i] = {serial, session.report()};
    if (ended) ended(starts[i]);
  };

  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (!judged[i]) {
      run(i);  // nothing to exchange: its outcome is known now
      continue;
    }
    try {
      threads.emplace_back(run, i);
    } catch (const std::system_error&) {
      run(i);  // no thread to be had: this one goes on its own
    }
  }
  for (std::thread& t : threads) t.join();
  return starts;
}

}  // namespace quillon
