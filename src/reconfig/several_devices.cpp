#include "reconfig/several_devices.h"

#include <pthread.h>

#include <mutex>
#include <string>

#include "link/endpoint.h"
#include "link/platform.h"
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

// A thread for one device's exchanges. Its stack is small: a device's Start needs a few
// kilobytes, and hundreds of threads with the system's default stacks cost the processor more
// than all their exchanges (page tables, faults) while they mostly wait.
class DeviceThread {
 public:
  DeviceThread() = default;
  ~DeviceThread() {
    if (m_started) ::pthread_join(m_thread, nullptr);
  }
  DeviceThread(DeviceThread&& other) noexcept
      : m_thread(other.m_thread), m_started(other.m_started), m_body(std::move(other.m_body)) {
    other.m_started = false;
  }
  DeviceThread(const DeviceThread&) = delete;
  DeviceThread& operator=(const DeviceThread&) = delete;
  DeviceThread& operator=(DeviceThread&&) = delete;

  // False when no thread could be made.
  bool Start(std::function<void()> body) {
    m_body = std::make_unique<std::function<void()>>(std::move(body));
    pthread_attr_t attr;
    if (::pthread_attr_init(&attr) != 0) return false;
    ::pthread_attr_setstacksize(&attr, kStackSize);
    m_started = ::pthread_create(&m_thread, &attr, Run, m_body.get()) == 0;
    ::pthread_attr_destroy(&attr);
    return m_started;
  }

 private:
  static constexpr std::size_t kStackSize = 256 * 1024;
  static void* Run(void* body) {
    (*static_cast<std::function<void()>*>(body))();
    return nullptr;
  }
  pthread_t m_thread{};
  bool m_started = false;
  std::unique_ptr<std::function<void()>> m_body;  // stays put while the thread runs
};

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

  // A socket of its own for every device over the network, beside the ports of the others.
  EnsureDescriptorsFor(numbers.size() + kMaxSerialPorts);
  std::vector<DeviceStart> starts(numbers.size());
  std::mutex lock;  // the hooks' and `ended`'s turns
  // One device's Start from its judgement on: on its own link, with its own record.
  auto run = [&](std::size_t i) {
    const std::uint16_t serial = numbers[i];
    const bool over_udp = judged[i].device && !judged[i].device->OnSerialPort();
    std::unique_ptr<DatagramSocket> socket = over_udp ? setup.makeSocket() : nullptr;
    const LinkHooks hooks = DeviceHooks(setup.hooks, serial, lock);
    QuietSink sink(setup.wording);
    PowerModuleRecord record;
    ReconfigSession session(sink, record, socket.get(), setup.platform, setup.options, &hooks);
    session.ContinueStart(std::move(judged[i]), search_ms);
    const std::lock_guard<std::mutex> guard(lock);
    starts[i] = {serial, session.report()};
    if (ended) ended(starts[i]);
  };

  std::vector<DeviceThread> threads;
  threads.reserve(numbers.size());
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    // Without anything to exchange its outcome is known now; without a thread to be had, the
    // device goes on its own.
    if (!judged[i] || !threads.emplace_back().Start([&run, i] { run(i); })) run(i);
  }
  threads.clear();  // each joins as it goes
  return starts;
}

}  // namespace quillon
