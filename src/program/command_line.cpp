#include "program/command_line.h"

#include <algorithm>
#include <cstdio>

namespace quillon {

CommandLine::CommandLine(ParseWords words) : m_words(std::move(words)) {
  // CLI11's own -h and its "/name" options on Windows are not this tool's: the programs define
  // their help, and "/?" is a program's own word. Anything unknown is kept, to be named here.
  m_app.set_help_flag();
  m_app.allow_windows_style_options(false);
  m_app.allow_extras();
}

CLI::Option* CommandLine::Defined(CLI::Option* option, const std::string& help, OptionValue kind,
                                  bool repeatable) {
  // Every option is taken as it is parsed: in the order given, each occurrence on its own.
  option->trigger_on_parse();
  if (help.empty()) option->group("");
  m_shown[option] = Shown{m_groups.size() - 1, "", kind, repeatable};
  return option;
}

namespace {

// "-v,--verbose" gives "--verbose".
std::string LongName(const std::string& names) {
  const auto [shorts, longs, positional] = CLI::detail::get_names(CLI::detail::split_names(names));
  return "--" + longs.front();
}

}  // namespace

CLI::Option* CommandLine::Flag(const std::string& names, const std::string& help,
                               std::function<void()> set) {
  auto given = [this, name = LongName(names), set = std::move(set)] {
    ++m_count[name];
    set();
  };
  return Defined(m_app.add_flag_callback(names, std::move(given), help), help, OptionValue::kNone,
                 false);
}

CLI::Option* CommandLine::Value(const std::string& names, const std::string& valueName,
                                const std::string& help, Take take, OptionValue kind,
                                bool repeatable, std::string missing) {
  auto given = [this, name = LongName(names), repeatable,
                take = std::move(take)](const CLI::results_t& values) {
    for (const std::string& value : values) {
      ReportExtras();  // a stray word before this option is the first problem
      if (++m_count[name] > 1 && !repeatable) Fail(m_words.givenTwice(name));
      if (std::string why = take(value); !why.empty()) Fail(std::move(why));
    }
    return true;
  };
  CLI::Option* option = m_app.add_option(names, std::move(given), help);
  option->type_name(valueName)->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  if (!missing.empty()) m_missing[option] = std::move(missing);
  return Defined(option, help, kind, repeatable);
}

void CommandLine::Group(const std::string& heading, const std::string& note) {
  m_groups.emplace_back(heading, note);
}

void CommandLine::ShowAlso(const CLI::Option* option, const std::string& names) {
  m_shown[option].also = names;
}

void CommandLine::Fail(std::string why) {
  if (m_error.empty()) m_error = std::move(why);
}

int CommandLine::Count(const std::string& name) const {
  const auto it = m_count.find(name);
  return it == m_count.end() ? 0 : it->second;
}

const CLI::Option* CommandLine::Find(const std::string& arg) const {
  if (arg.size() < 2 || arg[0] != '-') return nullptr;
  const std::string name = arg.substr(0, arg.find('='));
  for (const CLI::Option* option : m_app.get_options()) {
    if (arg[1] == '-' ? option->check_lname(name.substr(2))
                      : arg.size() == 2 && option->check_sname(arg.substr(1))) {
      return option;
    }
  }
  return nullptr;
}

// The words that CLI11 kept aside, in order: before "--" an unknown option or a stray word,
// after it anything at all.
void CommandLine::ReportExtras() {
  bool options_end = false;
  for (const std::string& arg : m_app.remaining()) {
    if (!options_end && arg == "--") {
      options_end = true;
    } else if (!options_end && arg.size() > 1 && arg[0] == '-') {
      Fail(m_words.unknownOption(arg));
    } else {
      Fail(m_words.unexpectedArgument(arg));
    }
  }
}

void CommandLine::Parse(std::vector<std::string> args) {
  // What CLI11 reads its own way: "--flag=value" is a value for a flag, "--name=" takes the next
  // word, and an option that ends the line lacks its value. Before "--" only; the word after an
  // option that takes one is its value, whatever it looks like.
  std::vector<std::string> words;
  std::string lacking;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string& arg = args[i];
    if (arg == "--") {
      words.insert(words.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
      break;
    }
    // No short options run together ("-vh"): each is a word of its own.
    if (arg.size() > 2 && arg[0] == '-' && arg[1] != '-') {
      Fail(m_words.unknownOption(arg));
      continue;
    }
    const CLI::Option* option = Find(arg);
    const std::size_t eq = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
    if (option != nullptr && option->get_expected_max() == 0 && eq != std::string::npos) {
      Fail(arg.substr(0, eq) + " takes no value");
      arg.resize(eq);
    } else if (option != nullptr && option->get_expected_max() != 0 && eq == arg.size() - 1) {
      arg.resize(eq);
      words.push_back(std::move(arg));
      words.emplace_back();
      continue;
    } else if (option != nullptr && option->get_expected_max() != 0 && eq == std::string::npos) {
      if (i + 1 == args.size()) {
        const auto own = m_missing.find(option);
        lacking = own != m_missing.end() ? own->second
                                         : m_words.needsValue("--" + option->get_lnames().front());
        break;
      }
      words.push_back(std::move(arg));
      words.push_back(std::move(args[++i]));
      continue;
    }
    words.push_back(std::move(arg));
  }
  try {
    m_app.parse(std::vector<std::string>(words.rbegin(), words.rend()));
  } catch (const CLI::ParseError& e) {
    Fail(e.what());
  }
  ReportExtras();
  if (!lacking.empty()) Fail(std::move(lacking));
}

std::string CommandLine::OptionLines(std::size_t width) const {
  const std::string indent(width, ' ');
  std::string out;
  for (std::size_t group = 0; group < m_groups.size(); ++group) {
    if (!m_groups[group].first.empty()) out += "\n" + m_groups[group].first + ":\n";
    for (const CLI::Option* option : m_app.get_options()) {
      const Shown& shown = m_shown.at(option);
      if (shown.group != group || option->get_group().empty()) continue;
      std::string names = "  ";
      for (const std::string& s : option->get_snames()) names += "-" + s + ", ";
      names += "--" + option->get_lnames().front();
      if (option->get_expected_max() != 0) names += " " + option->get_type_name();
      if (!shown.also.empty()) names += ", " + shown.also;
      out += names.size() + 1 < width ? names + std::string(width - names.size(), ' ')
                                      : names + "\n" + indent;
      const std::string& text = option->get_description();
      for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        out += (at == 0 ? "" : indent) + text.substr(at, end - at) + "\n";
        at = end + 1;
      }
    }
    out += m_groups[group].second;
  }
  return out;
}

std::vector<LongOption> CommandLine::LongOptions() const {
  std::vector<LongOption> list;
  for (const CLI::Option* option : m_app.get_options()) {
    const Shown& shown = m_shown.at(option);
    list.push_back({"--" + option->get_lnames().front(), shown.kind, shown.repeatable});
  }
  std::sort(list.begin(), list.end(),
            [](const LongOption& a, const LongOption& b) { return a.name < b.name; });
  return list;
}

}  // namespace quillon
