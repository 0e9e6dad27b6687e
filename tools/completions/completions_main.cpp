// quillon-completions PROGRAM SHELL OUTPUT: writes the completion of PROGRAM for SHELL (bash, zsh
// or fish) to OUTPUT, from the program's own option table. Run by the build; not installed.

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli_options.h"
#include "program/command_line.h"
#include "tools/simulator/options.h"

namespace {

using quillon::LongOption;
using quillon::OptionValue;

const std::map<std::string, std::vector<LongOption> (*)()> kPrograms = {
    {"quillon-reconfigurator-cli", [] { return quillon::ListLongOptions(false); }},
    {"quillon-reconfigurator", [] { return quillon::ListLongOptions(true); }},
    {"quillon-simulator", [] { return quillon::sim::ListLongOptions(); }},
};

// The serial devices that --port offers: the kernel's terminals and udev's stable names.
constexpr const char* kSerialGlobs[] = {"/dev/tty*", "/dev/serial/by-id/*"};

std::string Header(const std::string& program, const std::string& shell) {
  return "# " + shell + " completion for " + program +
         ", written by the build from the program's option table.\n";
}

// The names of the options with this kind of value, joined by `separator`.
std::string Names(const std::vector<LongOption>& options, OptionValue value,
                  const std::string& separator) {
  std::string out;
  for (const LongOption& o : options) {
    if (o.value != value) continue;
    if (!out.empty()) out += separator;
    out += o.name;
  }
  return out;
}

std::string Bash(const std::string& program, const std::vector<LongOption>& options) {
  std::string function = "_" + program;
  std::replace(function.begin(), function.end(), '-', '_');
  std::ostringstream out;
  out << Header(program, "bash") << "\n"
      << function << "()\n{\n"
      << "    local cur=${COMP_WORDS[COMP_CWORD]} option='' prefix=''\n"
      << "    (( COMP_CWORD > 0 )) && option=${COMP_WORDS[COMP_CWORD - 1]}\n"
      << "    # --name=value: with \"=\" among the word breaks (the default), \"=\" is a word of\n"
      << "    # its own; without, the option and its value are one word.\n"
      << "    if [[ $cur == = ]]; then\n"
      << "        cur=\n"
      << "    elif [[ $option == = ]] && (( COMP_CWORD > 1 )); then\n"
      << "        option=${COMP_WORDS[COMP_CWORD - 2]}\n"
      << "    elif [[ $cur == --*=* ]]; then\n"
      << "        option=${cur%%=*} prefix=${cur%%=*}= cur=${cur#*=}\n"
      << "    fi\n"
      << "    local IFS=$'\\n'\n"
      << "    case $option in\n";
  if (const std::string ports = Names(options, OptionValue::kSerialPort, "|"); !ports.empty()) {
    out << "        " << ports << ")\n"
        << "            COMPREPLY=($(compgen -P \"$prefix\" -W \"$(";
    for (const char* glob : kSerialGlobs) {
      out << (glob == kSerialGlobs[0] ? "" : "; ") << "compgen -G '" << glob << "'";
    }
    out << ")\" -- \"$cur\"))\n"
        << "            return ;;\n";
  }
  if (const std::string files = Names(options, OptionValue::kFile, "|"); !files.empty()) {
    out << "        " << files << ")\n"
        << "            compopt -o filenames 2>/dev/null\n"
        << "            COMPREPLY=($(compgen -P \"$prefix\" -f -- \"$cur\"))\n"
        << "            return ;;\n";
  }
  if (const std::string texts = Names(options, OptionValue::kText, "|"); !texts.empty()) {
    out << "        " << texts << ")\n"
        << "            COMPREPLY=()\n"
        << "            return ;;\n";
  }
  out << "    esac\n"
      << "    COMPREPLY=($(compgen -W '";
  for (const LongOption& o : options) out << (&o == &options.front() ? "" : "\n") << o.name;
  out << "' -- \"$cur\"))\n"
      << "}\n"
      << "complete -F " << function << " " << program << "\n";
  return out.str();
}

std::string Zsh(const std::string& program, const std::vector<LongOption>& options) {
  std::ostringstream out;
  out << "#compdef " << program << "\n" << Header(program, "zsh") << "\n_arguments -S";
  for (const LongOption& o : options) {
    out << " \\\n  '" << (o.repeatable ? "*" : "") << o.name;
    const std::string what = o.name.substr(2);
    switch (o.value) {
      case OptionValue::kNone:
        break;
      case OptionValue::kText:
        out << "=:" << what << ": ";
        break;
      case OptionValue::kFile:
        out << "=:" << what << ":_files";
        break;
      case OptionValue::kSerialPort:
        out << "=:serial port:{compadd --";
        for (const char* glob : kSerialGlobs) out << " " << glob << "(N)";
        out << "}";
        break;
    }
    out << "'";
  }
  out << "\n";
  return out.str();
}

std::string Fish(const std::string& program, const std::vector<LongOption>& options) {
  std::ostringstream out;
  out << Header(program, "fish") << "complete -c " << program << " -f\n";
  for (const LongOption& o : options) {
    out << "complete -c " << program << " -l " << o.name.substr(2);
    switch (o.value) {
      case OptionValue::kNone:
        break;
      case OptionValue::kText:
        out << " -x";
        break;
      case OptionValue::kFile:
        out << " -r -F";
        break;
      case OptionValue::kSerialPort:
        out << " -x -a '(for p in";
        for (const char* glob : kSerialGlobs) out << " " << glob;
        out << "; echo $p; end)'";
        break;
    }
    out << "\n";
  }
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, std::string (*)(const std::string&, const std::vector<LongOption>&)>
      shells = {{"bash", Bash}, {"zsh", Zsh}, {"fish", Fish}};
  const auto program = argc == 4 ? kPrograms.find(argv[1]) : kPrograms.end();
  const auto shell = argc == 4 ? shells.find(argv[2]) : shells.end();
  if (program == kPrograms.end() || shell == shells.end()) {
    std::cerr << "usage: quillon-completions PROGRAM bash|zsh|fish OUTPUT\n";
    return 2;
  }
  std::ofstream file(argv[3], std::ios::binary | std::ios::trunc);
  file << shell->second(program->first, program->second());
  file.close();
  if (!file) {
    std::cerr << "quillon-completions: cannot write " << argv[3] << "\n";
    return 1;
  }
  return 0;
}
