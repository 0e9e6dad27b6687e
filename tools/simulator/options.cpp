#include "tools/simulator/options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "program/text_sanitizer.h"
#include "program/version.h"

namespace quillon::sim {
namespace {

constexpr int kMaxMs = 600000;
constexpr int kMaxDevices = 1024;
constexpr long kMaxRepeats = 1000000;
// The text of the help column: names and value up to here, the text after.
constexpr std::size_t kHelpColumn = 27;

constexpr const char kHead[] =
    R"(Usage: quillon-simulator [OPTION]...
A simulated Quillon device. It speaks the command protocol (12-byte requests, 136-byte replies)
and, after the mode switch, the service protocol (136-byte frames) on a pseudo-terminal and/or
on UDP, and runs until SIGTERM or SIGINT.

Options take their value as --name VALUE or --name=VALUE; -- ends the options. An option
with a value may be given once, except --bad-checksum and --error-reply.
)";

constexpr const char kTail[] =
    R"(
Standard output: "pty PATH", "udp ADDRESS:PORT", then "ready" once listening.
Behaviour: identify and status requests are answered with 136-byte replies (138-byte
datagrams on UDP: A5 5A first); the mode switch is not answered and makes the device take
service frames until service command 4 has been answered. Service command 0 returns the
service information, 1, 2, 4 and 5 echo the request, 3 echoes bytes 2-7 and returns memory,
6 returns 7 bytes; a frame with a wrong checksum or an unknown command gets no answer, and
a command 5 block longer than 132 bytes gets error code 2. Service replies on UDP are
138-byte datagrams (A5 5A, then the frame). On the pty, bytes of a service frame that stop
arriving for 500 ms are dropped.
Exit status: 0 after a signal, end of input, --exit-after, --help or --version; 1 when a
transport cannot be set up; 2 on a usage error.
)";

bool ParseInt(const std::string& text, long min, long max, long* out) {
  if (text.empty()) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* begin = text.c_str() + (hex ? 2 : 0);
  if (*begin == '\0' || *begin == '+' || (hex && *begin == '-')) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(begin, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseHex(const std::string& text, std::uint8_t* out, std::size_t count) {
  if (text.size() != 2 * count) return false;
  for (std::size_t i = 0; i < count; ++i) {
    long v = 0;
    if (!ParseInt("0x" + text.substr(2 * i, 2), 0, 255, &v)) return false;
    out[i] = static_cast<std::uint8_t>(v);
  }
  return true;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (!text.empty() && text.back() == sep) parts.push_back("");
  return parts;
}

bool ParseIpv4(const std::string& text, std::uint32_t* host_order) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *host_order = ntohl(a.s_addr);
  return true;
}

// "MS" or "MS:COUNT", MS at least 1 so that a repetition always moves on in time.
bool ParsePeriod(const std::string& text, std::optional<int>* ms, std::optional<int>* count) {
  const auto parts = Split(text, ':');
  long period = 0;
  if (parts.empty() || parts.size() > 2 || !ParseInt(parts[0], 1, kMaxMs, &period)) return false;
  if (parts.size() == 2) {
    long n = 0;
    if (!ParseInt(parts[1], 1, kMaxRepeats, &n)) return false;
    *count = static_cast<int>(n);
  }
  *ms = static_cast<int>(period);
  return true;
}

ParseWords Words() {
  ParseWords words;
  words.unknownOption = [](const std::string& arg) { return "unknown option: " + arg; };
  words.unexpectedArgument = [](const std::string& arg) { return "unexpected argument: " + arg; };
  words.givenTwice = [](const std::string& name) { return name + " is given more than once"; };
  words.needsValue = [](const std::string& name) { return name + " needs a value"; };
  return words;
}

// What the command line sets beside the options: --devices needs the other options to take
// effect, so it is applied at the end.
struct Extra {
  std::optional<int> deviceCount;
  bool help = false;
  bool version = false;
};

// The options, each bound to the field of `o` that it sets, in the help's order.
void Define(CommandLine& line, Options* o, Extra* extra) {
  using Parse = std::function<bool(const std::string&)>;
  // An option with a value, which `parse` takes or refuses.
  auto value = [&line](const char* name, const char* valueName, const char* help, Parse parse,
                       OptionValue kind = OptionValue::kText, bool repeatable = false) {
    line.Value(
        name, valueName, help,
        [name = std::string(name), parse = std::move(parse)](const std::string& v) {
          return parse(v) ? std::string() : "bad value for " + name + ": " + v;
        },
        kind, repeatable);
  };
  auto u16 = [](auto setter) {
    return Parse([setter](const std::string& v) {
      long n = 0;
      if (!ParseInt(v, 0, 65535, &n)) return false;
      setter(static_cast<std::uint16_t>(n));
      return true;
    });
  };
  auto u8 = [](std::uint8_t* target) {
    return Parse([target](const std::string& v) {
      long n = 0;
      if (!ParseInt(v, 0, 255, &n)) return false;
      *target = static_cast<std::uint8_t>(n);
      return true;
    });
  };
  auto ms = [](int* target) {
    return Parse([target](const std::string& v) {
      long n = 0;
      if (!ParseInt(v, 0, kMaxMs, &n)) return false;
      *target = static_cast<int>(n);
      return true;
    });
  };
  auto put16 = [](std::uint8_t* lo, std::uint8_t* hi) {
    return [lo, hi](std::uint16_t v) {
      *lo = static_cast<std::uint8_t>(v & 0xFF);
      *hi = static_cast<std::uint8_t>(v >> 8);
    };
  };
  auto text = [](std::string* target) {
    return Parse([target](const std::string& v) {
      *target = v;
      return !v.empty();
    });
  };
  auto flag = [&line](const char* name, const char* help, bool* target) {
    line.Flag(name, help, [target] { *target = true; });
  };
  auto& mb = o->profile.moduleBlock;
  auto& sf = o->profile.statusFields;

  line.Flag("-h,--help", "show this text and exit (before anything else on the line)",
            [extra] { extra->help = true; });
  line.Flag("-V,--version", "show the version and exit", [extra] { extra->version = true; });

  line.Group("Transports (at least one)");
  flag("--pty", "create a pseudo-terminal (raw mode); prints \"pty /dev/pts/N\"", &o->pty);
  value("--link", "PATH", "also make PATH a symlink to the pseudo-terminal (removed on exit)",
        text(&o->linkPath), OptionValue::kFile);
  value("--udp", "ADDRESS",
        "listen on this IPv4 address, port 50000; 0.0.0.0 also takes\n"
        "broadcasts; prints \"udp ADDRESS:PORT\"",
        [o](const std::string& v) {
          std::uint32_t a = 0;
          o->udpAddress = v;
          return ParseIpv4(v, &a);
        });
  value("--udp-port", "N", "another port than 50000 (0 picks a free one)",
        u16([o](std::uint16_t v) { o->udpPort = v; }));

  line.Group("The device",
             "  Options are applied in the order given: --applicability-b and --module-block "
             "overlap.\n  Numbers are decimal, or hexadecimal with 0x.\n");
  value("--serial", "N", "serial number, 0..65535 (default 1234)",
        u16([o](std::uint16_t v) { o->serialNumber = v; }));
  value("--presence", "N", "presenceWord, reply bytes 2-3 (default 1)",
        u16([o](std::uint16_t v) { o->profile.presenceWord = v; }));
  value("--applicability-a", "N", "applicabilityA, reply bytes 6-7 (default 1)",
        u16([o](std::uint16_t v) { o->profile.applicabilityA = v; }));
  value("--applicability-b", "N",
        "applicabilityB, reply bytes 64-65, the last two bytes of the\n"
        "module block (default 1)",
        u16(put16(&mb[3], &mb[4])));
  value("--use-override", "N", "useOverride, reply bytes 48-49 (default 0)",
        u16([o](std::uint16_t v) { o->profile.useOverride = v; }));
  value("--use-count", "N", "useCount, reply bytes 56-57, signed (default 0)",
        [o](const std::string& v) {
          long n = 0;
          if (!ParseInt(v, -32768, 32767, &n)) return false;
          o->profile.useCount = static_cast<std::int16_t>(n);
          return true;
        });
  value("--module-block", "HEX10", "the 5 bytes at reply bytes 61-65 (default 0734120100)",
        [block = mb.data(), size = mb.size()](const std::string& v) {
          return ParseHex(v, block, size);
        });
  value("--status-fields", "HEX16",
        "the 8 status bytes at reply bytes 58, 59, 62, 63, 64, 65, 98, 99\n"
        "of the status reply, in that order (default 9411200311223344)",
        [fields = sf.data(), size = sf.size()](const std::string& v) {
          return ParseHex(v, fields, size);
        });
  value("--status-58", "N", "status reply bytes 58-59, 16-bit", u16(put16(&sf[0], &sf[1])));
  value("--status-62", "N", "status reply bytes 62-63, 16-bit", u16(put16(&sf[2], &sf[3])));
  value("--status-64", "N", "status reply byte 64", u8(&sf[4]));
  value("--status-65", "N", "status reply byte 65", u8(&sf[5]));
  value("--status-98", "N", "status reply byte 98", u8(&sf[6]));
  value("--status-99", "N", "status reply byte 99", u8(&sf[7]));
  value("--service-version", "N", "first 16-bit value of the service information (default 5)",
        u16([o](std::uint16_t v) { o->profile.serviceVersion = v; }));

  line.Group("Faults",
             "  Forgeries and trickles come from another host: --silent does not stop them, and "
             "they do\n  not change the log, which records requests received only.\n");
  flag("--silent", "never answer anything (requests are still logged)", &o->faults.silent);
  value(
      "--bad-checksum", "LIST",
      "these replies get a wrong checksum; LIST is a comma-separated\n"
      "list of identify, status, mode, svc0 ... svc6 (repeatable)",
      [o](const std::string& v) {
        for (const std::string& name : Split(v, ',')) {
          const auto kind = KindFromName(name);
          if (!kind || *kind == Kind::kUnknown) return false;
          o->faults.badChecksum[static_cast<int>(*kind)] = true;
        }
        return true;
      },
      OptionValue::kText, true);
  flag("--answer-mode-switch", "answer every mode-switch request and never enter service mode",
       &o->faults.answerModeSwitch);
  flag("--no-record-echo",
       "the command 5 reply differs from the request in frame byte 10\n"
       "(checksum still right)",
       &o->faults.noRecordEcho);
  value(
      "--error-reply", "CMD:CODE",
      "answer service command CMD (0..6) with an error reply carrying\n"
      "CODE (0..255) (repeatable)",
      [o](const std::string& v) {
        const auto parts = Split(v, ':');
        long command = 0;
        long code = 0;
        if (parts.size() != 2 || !ParseInt(parts[0], 0, 6, &command) ||
            !ParseInt(parts[1], 0, 255, &code)) {
          return false;
        }
        o->faults.errorReply[static_cast<int>(command)] = static_cast<std::uint8_t>(code);
        return true;
      },
      OptionValue::kText, true);
  value("--stray-bytes", "N[:TIMES]",
        "send N garbage bytes (0xEE) ahead of the identify reply on the\n"
        "pty, for the first TIMES identify replies (default 1; 0 = always)",
        [o](const std::string& v) {
          const auto parts = Split(v, ':');
          long n = 0;
          long times = 1;
          if (parts.empty() || parts.size() > 2 || !ParseInt(parts[0], 0, 4096, &n)) return false;
          if (parts.size() == 2 && !ParseInt(parts[1], 0, kMaxRepeats, &times)) return false;
          o->strayBytes = static_cast<int>(n);
          o->strayTimes = static_cast<int>(times);
          return true;
        });
  value("--split-reply", "P:MS", "write each pty reply in P pieces, MS milliseconds apart",
        [o](const std::string& v) {
          const auto parts = Split(v, ':');
          long pieces = 0;
          long pause = 0;
          if (parts.size() != 2 || !ParseInt(parts[0], 1, 136, &pieces) ||
              !ParseInt(parts[1], 0, kMaxMs, &pause)) {
            return false;
          }
          o->splitPieces = static_cast<int>(pieces);
          o->splitPauseMs = static_cast<int>(pause);
          return true;
        });
  value("--reply-delay", "MS", "answer MS milliseconds after the request", ms(&o->replyDelayMs));
  value("--status-delay", "MS",
        "answer status requests MS milliseconds later still (other\n"
        "requests as before)",
        ms(&o->statusDelayMs));
  value("--duplicate-reply-after", "MS",
        "send every service reply a second time, MS milliseconds later", [o](const std::string& v) {
          long n = 0;
          if (!ParseInt(v, 0, kMaxMs, &n)) return false;
          o->duplicateAfterMs = static_cast<int>(n);
          return true;
        });
  value("--exit-after", "KIND",
        "exit as soon as a request of this kind arrives, without answering\n"
        "(KIND as in the log: identify, status, mode, svc0 ... svc6, unknown)",
        [o](const std::string& v) {
          o->exitAfter = KindFromName(v);
          return o->exitAfter.has_value();
        });
  value("--forge-status", "MS[:COUNT]",
        "a forger of status replies: no device answers an identify request\n"
        "over UDP; instead its sender gets a valid 138-byte status reply\n"
        "datagram (A5 5A, then the first device's reply to a status\n"
        "request) from the simulator's port, MS milliseconds later and then\n"
        "every MS ms, COUNT in all (default 1); needs --udp",
        [o](const std::string& v) {
          std::optional<int> count;
          if (!ParsePeriod(v, &o->forgeStatusMs, &count)) return false;
          o->forgeStatusCount = count.value_or(1);
          return true;
        });
  value("--trickle", "MS[:COUNT]",
        "a chatty host: every identify request over UDP also makes its\n"
        "sender get a 10-byte datagram of 0xEE bytes every MS milliseconds,\n"
        "COUNT in all (default: until the simulator stops or the next\n"
        "identify request restarts it); the request is answered as usual;\n"
        "needs --udp",
        [o](const std::string& v) { return ParsePeriod(v, &o->trickleMs, &o->trickleCount); });

  line.Group("Several devices on UDP",
             "  Every device answers an identify request unless the request was sent to the own\n"
             "  address of one device; every other request goes to the device whose address it "
             "was\n"
             "  sent to, or else to the first device. Each device has its own mode. The first "
             "device\n"
             "  is also the one on the pty: both transports reach the same device.\n");
  value("--devices", "N", "answer as N devices with serial numbers SERIAL, SERIAL+1, ...",
        [extra](const std::string& v) {
          long n = 0;
          if (!ParseInt(v, 1, kMaxDevices, &n)) return false;
          extra->deviceCount = static_cast<int>(n);
          return true;
        });
  value("--device-serials", "LIST", "answer as these devices (comma-separated serial numbers)",
        [o](const std::string& v) {
          o->deviceSerials.clear();
          for (const std::string& part : Split(v, ',')) {
            long n = 0;
            if (!ParseInt(part, 0, 65535, &n)) return false;
            o->deviceSerials.push_back(static_cast<std::uint16_t>(n));
          }
          return !o->deviceSerials.empty() &&
                 o->deviceSerials.size() <= static_cast<std::size_t>(kMaxDevices);
        });
  value("--device-addresses-from", "A.B.C.D",
        "device k answers from A.B.C.(D+k); the addresses must be local",
        [o](const std::string& v) {
          std::uint32_t a = 0;
          if (!ParseIpv4(v, &a)) return false;
          o->deviceAddressesFrom = a;
          return true;
        });
  value("--device-stagger", "MS", "device k answers k*MS milliseconds later than device 0",
        ms(&o->deviceStaggerMs));

  line.Group("Records");
  value("--log", "FILE",
        "one line per request received, flushed at once:\n"
        "  serial KIND HEX\n"
        "  udp ADDRESS:PORT KIND HEX\n"
        "KIND is identify, status, mode, svc0 ... svc6 or unknown; HEX is\n"
        "the bytes received, upper case without spaces. Garbage that is\n"
        "dropped from the pty is logged too (mostly as unknown).",
        text(&o->logPath), OptionValue::kFile);
  value("--record-out", "FILE",
        "the last record written by service command 5 (its 2-byte length\n"
        "and the block), as HEX and a newline, rewritten on every write",
        text(&o->recordPath), OptionValue::kFile);
  flag("--exit-on-stdin-eof", "also exit when standard input closes", &o->exitOnStdinEof);
}

}  // namespace

std::string HelpText() {
  CommandLine line(Words());
  Options unused;
  Extra extra;
  Define(line, &unused, &extra);
  return kHead + line.OptionLines(kHelpColumn) + kTail;
}

std::string VersionText() {
  return std::string("quillon-simulator ") + kProductVersion;
}

std::vector<LongOption> ListLongOptions() {
  CommandLine line(Words());
  Options unused;
  Extra extra;
  Define(line, &unused, &extra);
  return line.LongOptions();
}

ParseOutcome ParseOptions(const std::vector<std::string>& args, Options* o, std::string* error) {
  CommandLine line(Words());
  Extra extra;
  Define(line, o, &extra);
  line.Parse(args);
  // --help and --version win over everything else on the line, --help first.
  if (extra.help) return ParseOutcome::kHelp;
  if (extra.version) return ParseOutcome::kVersion;
  auto fail = [&line, error](std::string why) {
    line.Fail(std::move(why));
    *error = ArgumentText(line.error());
    return ParseOutcome::kError;
  };
  if (line.failed()) return fail(line.error());

  if (!o->pty && !o->udpAddress) return fail("give --pty, --udp ADDRESS or both");
  if (!o->linkPath.empty() && !o->pty) return fail("--link needs --pty");
  for (const char* udp_only : {"--forge-status", "--trickle"}) {
    if (line.Count(udp_only) != 0 && !o->udpAddress) {
      return fail(std::string(udp_only) + " needs --udp");
    }
  }
  if (o->deviceSerials.empty()) {
    const int n = extra.deviceCount.value_or(1);
    for (int k = 0; k < n; ++k) {
      o->deviceSerials.push_back(static_cast<std::uint16_t>(o->serialNumber + k));
    }
  } else if (extra.deviceCount && *extra.deviceCount != static_cast<int>(o->deviceSerials.size())) {
    return fail("--devices and --device-serials disagree");
  } else if (line.Count("--serial") != 0 && o->serialNumber != o->deviceSerials.front()) {
    return fail("--serial and --device-serials disagree");
  } else {
    o->serialNumber = o->deviceSerials.front();
  }
  if (o->deviceSerials.size() > 1 && !o->udpAddress) return fail("several devices need --udp");
  if (o->deviceAddressesFrom &&
      (*o->deviceAddressesFrom & 0xFF) + o->deviceSerials.size() - 1 > 255) {
    return fail("--device-addresses-from: the addresses run past the last byte");
  }
  return ParseOutcome::kRun;
}

}  // namespace quillon::sim
