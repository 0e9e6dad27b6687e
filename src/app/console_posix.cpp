#include <unistd.h>

#include "app/console.h"

namespace quillon {

bool StderrIsTerminal() {
  return ::isatty(STDERR_FILENO) != 0;
}

}  // namespace quillon
