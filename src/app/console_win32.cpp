#include <windows.h>

#include "app/console.h"

namespace quillon {

// Only a console answers GetConsoleMode; a pipe or a file does not.
bool StderrIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace quillon
