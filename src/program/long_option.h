// A program's long option as a shell completes it: its name, what its value is, and whether it
// may be given again. The option tables list their options this way, so that the completions
// are written from the tables themselves.
#pragma once

#include <string>
#include <vector>

namespace quillon {

enum class OptionValue {
  kNone,        // a flag
  kText,        // a value nothing can guess: a number, an address
  kFile,        // a file to write or a link to make
  kSerialPort,  // a serial device
};

struct LongOption {
  std::string name;  // with its two dashes
  OptionValue value = OptionValue::kNone;
  bool repeatable = false;
};

}  // namespace quillon
