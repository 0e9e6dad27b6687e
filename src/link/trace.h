// An optional trace of everything that crosses the wire (the command line's --verbose).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace quillon {

// what: a short label such as "serial COM3 (/dev/ttyUSB0) >" or "udp 192.168.1.20:50000 <".
using WireTraceHook = std::function<void(std::string_view what, std::span<const std::uint8_t>)>;
using NoteTraceHook = std::function<void(std::string_view note)>;

void SetWireTrace(WireTraceHook wire, NoteTraceHook note);
bool WireTraceEnabled();
void TraceWire(std::string_view what, std::span<const std::uint8_t> data);
void TraceNote(std::string_view note);

}  // namespace quillon
