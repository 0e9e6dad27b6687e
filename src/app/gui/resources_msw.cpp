// The program's own Windows resources (quillon.rc): icon group 128 and the string table.
#include <windows.h>

#include "app/gui/resources.h"
#include "reconfig/messages.h"

namespace quillon {
namespace {

constexpr int kIconGroup = 128;
constexpr UINT kStringSocketInitFailed = 103;

}  // namespace

wxIconBundle LoadAppIcon() {
  // Every image of the group, so that the system picks the size it needs (and its DPI's).
  return wxIconBundle(wxString::Format("#%d", kIconGroup), nullptr);
}

std::string LoadSocketInitFailedText() {
  // A length of 0 asks for a read-only pointer to the resource's text instead of a copy; it is
  // not terminated.
  const wchar_t* text = nullptr;
  const int length = ::LoadStringW(::GetModuleHandleW(nullptr), kStringSocketInitFailed,
                                   reinterpret_cast<wchar_t*>(&text), 0);
  // A program linked without its resources still says what went wrong.
  if (length <= 0 || text == nullptr) return std::string(kTextSocketInitFailed);
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), size, nullptr, nullptr);
  return utf8;
}

}  // namespace quillon
