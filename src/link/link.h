// What every call of the link works through. Its owner makes one and passes it in: the serial
// ports and the clock of a platform (the system's, or a test's scripted one), the datagram
// socket, and the hooks of the front end (the wire trace, what runs between the slices of a
// wait). Nothing of it is global, so that two links never share a port table, a clock or a trace.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "link/datagram_socket.h"
#include "link/deadline.h"
#include "link/platform.h"

namespace quillon {

// What a front end hooks into the link. Each may be empty.
struct LinkHooks {
  // Everything that crosses the wire (the command line's --verbose). what: a short label such
  // as "serial COM3 (/dev/ttyUSB0) >" or "udp 192.168.1.20:50000 <".
  std::function<void(std::string_view what, std::span<const std::uint8_t> data)> wire;
  // What the link notes meanwhile: a port skipped, a network left out.
  std::function<void(std::string_view note)> note;
  // Runs before every blocking slice of a wait, that is at least every few tens of milliseconds
  // while one runs: the dialog keeps its window painted there during a Start.
  std::function<void()> wait;
};

// A small value: copies name the same platform, socket and hooks, which outlive them.
class Link {
 public:
  // The socket may be null: the network is then not used.
  explicit Link(Platform& platform, DatagramSocket* socket = nullptr,
                const LinkHooks* hooks = nullptr)
      : m_platform(&platform), m_socket(socket), m_hooks(hooks) {}

  Platform& platform() const { return *m_platform; }
  DatagramSocket* socket() const { return m_socket; }
  std::int64_t NowMs() const { return m_platform->NowMs(); }
  // ms milliseconds from now on this link's clock.
  Deadline After(std::int64_t ms) const { return Deadline::After(*m_platform, ms); }

  bool Tracing() const { return m_hooks && m_hooks->wire; }
  void TraceWire(std::string_view what, std::span<const std::uint8_t> data) const {
    if (Tracing()) m_hooks->wire(what, data);
  }
  void TraceNote(std::string_view note) const {
    if (m_hooks && m_hooks->note) m_hooks->note(note);
  }
  // The same link, whose waits run to their deadline even after an interruption: command 4 to a
  // device that is leaving service mode waits for its answer however the tool is being stopped.
  Link Uninterruptible() const {
    Link copy = *this;
    copy.m_interruptible = false;
    return copy;
  }
  bool Interruptible() const { return m_interruptible; }
  // Runs the wait hook; false when there is none.
  bool RunWaitHook() const {
    if (!m_hooks || !m_hooks->wait) return false;
    m_hooks->wait();
    return true;
  }

 private:
  Platform* m_platform;
  DatagramSocket* m_socket;
  const LinkHooks* m_hooks;
  bool m_interruptible = true;
};

}  // namespace quillon
