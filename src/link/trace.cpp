#include "link/trace.h"

#include <utility>

namespace quillon {
namespace {
WireTraceHook& WireHook() {
  static WireTraceHook hook;
  return hook;
}
NoteTraceHook& NoteHook() {
  static NoteTraceHook hook;
  return hook;
}
}  // namespace

void SetWireTrace(WireTraceHook wire, NoteTraceHook note) {
  WireHook() = std::move(wire);
  NoteHook() = std::move(note);
}

bool WireTraceEnabled() {
  return static_cast<bool>(WireHook());
}

void TraceWire(std::string_view what, std::span<const std::uint8_t> data) {
  if (WireHook()) WireHook()(what, data);
}

void TraceNote(std::string_view note) {
  if (NoteHook()) NoteHook()(note);
}

}  // namespace quillon
