// A program's command line, on CLI11: each option defined once, with what it takes and its help,
// and from that one definition the parse, the help's option lines and the shell completions.
//
// The conventions of every program here, which CLI11 does not have by itself: --name=value or
// --name value (the next word is the value whatever it looks like); -- ends the options; a value
// is handed over as written, in the order given, and the program says what it refuses; an option
// with one value given twice is an error; nothing is thrown and nothing is printed: the first
// problem on the line is kept, as one line, for the program to word and show.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// What an option's value is, as a shell completes it.
enum class OptionValue {
  kNone,        // a flag
  kText,        // a value nothing can guess: a number, an address
  kFile,        // a file to read or write, or a link to make
  kSerialPort,  // a serial device
};

// A long option as the completions list it.
struct LongOption {
  std::string name;  // with its two dashes
  OptionValue value = OptionValue::kNone;
  bool repeatable = false;
};

// How a program words the problems that the parse itself finds (the argument as written).
struct ParseWords {
  std::function<std::string(const std::string& arg)> unknownOption;
  std::function<std::string(const std::string& arg)> unexpectedArgument;
  std::function<std::string(const std::string& name)> givenTwice;
  std::function<std::string(const std::string& name)> needsValue;
};

class CommandLine {
 public:
  // Gives why a value is refused, or "" when it is taken.
  using Take = std::function<std::string(const std::string& value)>;

  explicit CommandLine(ParseWords words);
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  // A flag ("-v,--verbose"); `set` runs each time it is given. An empty `help` leaves it out of
  // the help's option lines.
  CLI::Option* Flag(const std::string& names, const std::string& help, std::function<void()> set);
  // An option with a value ("--port", "PATH"). `missing` words its lack of a value, when the
  // program's own words do not fit.
  CLI::Option* Value(const std::string& names, const std::string& valueName,
                     const std::string& help, Take take, OptionValue kind = OptionValue::kText,
                     bool repeatable = false, std::string missing = "");
  // Starts a group of the help, with a heading; `note` comes after its options.
  void Group(const std::string& heading, const std::string& note = "");
  // Shown beside the option's names in the help (the platform's own spelling of it).
  void ShowAlso(const CLI::Option* option, const std::string& names);

  // Parses the arguments after the program's name. Values are taken in the order given.
  void Parse(std::vector<std::string> args);
  // The first problem on the line; keeps the first.
  void Fail(std::string why);
  bool failed() const { return !m_error.empty(); }
  const std::string& error() const { return m_error; }
  // How many times the option with this long name was given.
  int Count(const std::string& name) const;

  // The help's option lines, from the definitions: names and value in a column of `width`
  // (wider ones put their text on the next line), the text after; grouped under headings.
  std::string OptionLines(std::size_t width) const;
  // The long options, alphabetical.
  std::vector<LongOption> LongOptions() const;
  // The option with this name ("-v", "--port", "--port=x"), or null.
  const CLI::Option* Find(const std::string& arg) const;

 private:
  struct Shown {
    std::size_t group = 0;
    std::string also;
    OptionValue kind = OptionValue::kNone;
    bool repeatable = false;
  };
  CLI::Option* Defined(CLI::Option* option, const std::string& help, OptionValue kind,
                       bool repeatable);
  void ReportExtras();

  CLI::App m_app;
  ParseWords m_words;
  std::map<const CLI::Option*, Shown> m_shown;
  std::map<std::string, int> m_count;
  std::map<const CLI::Option*, std::string> m_missing;
  std::vector<std::pair<std::string, std::string>> m_groups{{"", ""}};  // heading, note
  std::string m_error;
};

}  // namespace quillon
