#include "tools/simulator/options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "program/version.h"

namespace quillon::sim {
namespace {

constexpr int kMaxMs = 600000;
constexpr int kMaxDevices = 1024;
constexpr long kMaxRepeats = 1000000;

const char kHelp[] =
    R"(Usage: quillon-simulator [OPTION]...
A simulated Quillon device. It speaks the command protocol (12-byte requests, 136-byte replies)
and, after the mode switch, the service protocol (136-byte frames) on a pseudo-terminal and/or
on UDP, and runs until SIGTERM or SIGINT.

Options take their value as --name VALUE or --name=VALUE; -- ends the options. An option
with a value may be given once, except --bad-checksum and --error-reply.
  -h, --help               show this text and exit (before anything else on the line)
  -V, --version            show the version and exit

Transports (at least one):
  --pty                    create a pseudo-terminal (raw mode); prints "pty /dev/pts/N"
  --link PATH              also make PATH a symlink to the pseudo-terminal (removed on exit)
  --udp ADDRESS            listen on this IPv4 address, port 50000; 0.0.0.0 also takes
                           broadcasts; prints "udp ADDRESS:PORT"
  --udp-port N             another port than 50000 (0 picks a free one)

The device:
  --serial N               serial number, 0..65535 (default 1234)
  --presence N             presenceWord, reply bytes 2-3 (default 1)
  --applicability-a N      applicabilityA, reply bytes 6-7 (default 1)
  --applicability-b N      applicabilityB, reply bytes 64-65, the last two bytes of the
                           module block (default 1)
  --use-override N         useOverride, reply bytes 48-49 (default 0)
  --use-count N            useCount, reply bytes 56-57, signed (default 0)
  --module-block HEX10     the 5 bytes at reply bytes 61-65 (default 0734120100)
  --status-fields HEX16    the 8 status bytes at reply bytes 58, 59, 62, 63, 64, 65, 98, 99
                           of the status reply, in that order (default 9411200311223344)
  --status-58 N            status reply bytes 58-59, 16-bit
  --status-62 N            status reply bytes 62-63, 16-bit
  --status-64 N, --status-65 N, --status-98 N, --status-99 N
                           single status reply bytes
  --service-version N      first 16-bit value of the service information (default 5)
  Options are applied in the order given: --applicability-b and --module-block overlap.
  Numbers are decimal, or hexadecimal with 0x.

Faults:
  --silent                 never answer anything (requests are still logged)
  --bad-checksum LIST      these replies get a wrong checksum; LIST is a comma-separated
                           list of identify, status, mode, svc0 ... svc6 (repeatable)
  --answer-mode-switch     answer every mode-switch request and never enter service mode
  --no-record-echo         the command 5 reply differs from the request in frame byte 10
                           (checksum still right)
  --error-reply CMD:CODE   answer service command CMD (0..6) with an error reply carrying
                           CODE (0..255) (repeatable)
  --stray-bytes N[:TIMES]  send N garbage bytes (0xEE) ahead of the identify reply on the
                           pty, for the first TIMES identify replies (default 1; 0 = always)
  --split-reply P:MS       write each pty reply in P pieces, MS milliseconds apart
  --reply-delay MS         answer MS milliseconds after the request
  --status-delay MS        answer status requests MS milliseconds later still (other
                           requests as before)
  --duplicate-reply-after MS
                           send every service reply a second time, MS milliseconds later
  --exit-after KIND        exit as soon as a request of this kind arrives, without answering
                           (KIND as in the log: identify, status, mode, svc0 ... svc6, unknown)
  --forge-status MS[:COUNT]
                           a forger of status replies: no device answers an identify request
                           over UDP; instead its sender gets a valid 138-byte status reply
                           datagram (A5 5A, then the first device's reply to a status
                           request) from the simulator's port, MS milliseconds later and then
                           every MS ms, COUNT in all (default 1); needs --udp
  --trickle MS[:COUNT]     a chatty host: every identify request over UDP also makes its
                           sender get a 10-byte datagram of 0xEE bytes every MS milliseconds,
                           COUNT in all (default: until the simulator stops or the next
                           identify request restarts it); the request is answered as usual;
                           needs --udp
  Forgeries and trickles come from another host: --silent does not stop them, and they do
  not change the log, which records requests received only.

Several devices on UDP:
  --devices N              answer as N devices with serial numbers SERIAL, SERIAL+1, ...
  --device-serials LIST    answer as these devices (comma-separated serial numbers)
  --device-addresses-from A.B.C.D
                           device k answers from A.B.C.(D+k); the addresses must be local
  --device-stagger MS      device k answers k*MS milliseconds later than device 0
  Every device answers an identify request unless the request was sent to the own
  address of one device; every other request goes to the device whose address it was
  sent to, or else to the first device. Each device has its own mode. The first device
  is also the one on the pty: both transports reach the same device.

Records:
  --log FILE               one line per request received, flushed at once:
                             serial KIND HEX
                             udp ADDRESS:PORT KIND HEX
                           KIND is identify, status, mode, svc0 ... svc6 or unknown; HEX is
                           the bytes received, upper case without spaces. Garbage that is
                           dropped from the pty is logged too (mostly as unknown).
  --record-out FILE        the last record written by service command 5 (its 2-byte length
                           and the block), as HEX and a newline, rewritten on every write
  --exit-on-stdin-eof      also exit when standard input closes

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
bool ParsePeriod(const std::string& text, int* ms, std::optional<int>* count) {
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

bool IsHelp(const std::string& arg) {
  return arg == "--help" || arg == "-h";
}

bool IsVersion(const std::string& arg) {
  return arg == "--version" || arg == "-V";
}

// An option that takes a value; most may be given once.
struct ValueOption {
  std::function<bool(const std::string&)> parse;
  bool repeatable = false;
  OptionValue value = OptionValue::kText;
};

}  // namespace

std::string EscapeControls(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      out += {'\\', 'x', kDigits[byte >> 4], kDigits[byte & 0x0F]};
    } else {
      out.push_back(c);
    }
  }
  return out;
}

const char* HelpText() {
  return kHelp;
}

std::string VersionText() {
  return std::string("quillon-simulator ") + kProductVersion;
}

namespace {

// The options, each bound to the field of `o` that it sets. --devices sets `device_count`, as
// it needs the other options to take effect.
struct OptionTable {
  std::map<std::string, ValueOption> withValue;
  std::map<std::string, bool*> flags;
};

OptionTable MakeOptionTable(Options* o, std::optional<int>* device_count) {
  using Handler = std::function<bool(const std::string&)>;
  auto u16 = [](auto setter) {
    return Handler([setter](const std::string& v) {
      long n = 0;
      if (!ParseInt(v, 0, 65535, &n)) return false;
      setter(static_cast<std::uint16_t>(n));
      return true;
    });
  };
  auto u8 = [](std::uint8_t* target) {
    return Handler([target](const std::string& v) {
      long n = 0;
      if (!ParseInt(v, 0, 255, &n)) return false;
      *target = static_cast<std::uint8_t>(n);
      return true;
    });
  };
  auto ms = [](int* target) {
    return Handler([target](const std::string& v) {
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
    return Handler([target](const std::string& v) {
      *target = v;
      return !v.empty();
    });
  };
  auto file = [&text](std::string* target) {
    return ValueOption{text(target), false, OptionValue::kFile};
  };
  auto& mb = o->profile.moduleBlock;
  auto& sf = o->profile.statusFields;

  OptionTable table;
  table.withValue = {
      {"--serial", {u16([o](std::uint16_t v) { o->serialNumber = v; })}},
      {"--link", file(&o->linkPath)},
      {"--udp", {[o](const std::string& v) {
         std::uint32_t a = 0;
         o->udpAddress = v;
         return ParseIpv4(v, &a);
       }}},
      {"--udp-port", {u16([o](std::uint16_t v) { o->udpPort = v; })}},
      {"--presence", {u16([o](std::uint16_t v) { o->profile.presenceWord = v; })}},
      {"--applicability-a", {u16([o](std::uint16_t v) { o->profile.applicabilityA = v; })}},
      {"--applicability-b", {u16(put16(&mb[3], &mb[4]))}},
      {"--use-override", {u16([o](std::uint16_t v) { o->profile.useOverride = v; })}},
      {"--use-count", {[o](const std::string& v) {
         long n = 0;
         if (!ParseInt(v, -32768, 32767, &n)) return false;
         o->profile.useCount = static_cast<std::int16_t>(n);
         return true;
       }}},
      {"--module-block", {[block = mb.data(), size = mb.size()](const std::string& v) {
         return ParseHex(v, block, size);
       }}},
      {"--status-fields", {[fields = sf.data(), size = sf.size()](const std::string& v) {
         return ParseHex(v, fields, size);
       }}},
      {"--status-58", {u16(put16(&sf[0], &sf[1]))}},
      {"--status-62", {u16(put16(&sf[2], &sf[3]))}},
      {"--status-64", {u8(&sf[4])}},
      {"--status-65", {u8(&sf[5])}},
      {"--status-98", {u8(&sf[6])}},
      {"--status-99", {u8(&sf[7])}},
      {"--service-version", {u16([o](std::uint16_t v) { o->profile.serviceVersion = v; })}},
      {"--bad-checksum",
       {[o](const std::string& v) {
          for (const std::string& name : Split(v, ',')) {
            const auto kind = KindFromName(name);
            if (!kind || *kind == Kind::kUnknown) return false;
            o->faults.badChecksum[static_cast<int>(*kind)] = true;
          }
          return true;
        },
        true}},
      {"--error-reply",
       {[o](const std::string& v) {
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
        true}},
      {"--stray-bytes", {[o](const std::string& v) {
         const auto parts = Split(v, ':');
         long n = 0;
         long times = 1;
         if (parts.empty() || parts.size() > 2 || !ParseInt(parts[0], 0, 4096, &n)) return false;
         if (parts.size() == 2 && !ParseInt(parts[1], 0, kMaxRepeats, &times)) return false;
         o->strayBytes = static_cast<int>(n);
         o->strayTimes = static_cast<int>(times);
         return true;
       }}},
      {"--split-reply", {[o](const std::string& v) {
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
       }}},
      {"--reply-delay", {ms(&o->replyDelayMs)}},
      {"--status-delay", {ms(&o->statusDelayMs)}},
      {"--duplicate-reply-after", {[o](const std::string& v) {
         long n = 0;
         if (!ParseInt(v, 0, kMaxMs, &n)) return false;
         o->duplicateAfterMs = static_cast<int>(n);
         return true;
       }}},
      {"--exit-after", {[o](const std::string& v) {
         o->exitAfter = KindFromName(v);
         return o->exitAfter.has_value();
       }}},
      {"--forge-status", {[o](const std::string& v) {
         int period = 0;
         std::optional<int> count;
         if (!ParsePeriod(v, &period, &count)) return false;
         o->forgeStatusMs = period;
         o->forgeStatusCount = count.value_or(1);
         return true;
       }}},
      {"--trickle", {[o](const std::string& v) {
         int period = 0;
         std::optional<int> count;
         if (!ParsePeriod(v, &period, &count)) return false;
         o->trickleMs = period;
         o->trickleCount = count;
         return true;
       }}},
      {"--devices", {[device_count](const std::string& v) {
         long n = 0;
         if (!ParseInt(v, 1, kMaxDevices, &n)) return false;
         *device_count = static_cast<int>(n);
         return true;
       }}},
      {"--device-serials", {[o](const std::string& v) {
         o->deviceSerials.clear();
         for (const std::string& part : Split(v, ',')) {
           long n = 0;
           if (!ParseInt(part, 0, 65535, &n)) return false;
           o->deviceSerials.push_back(static_cast<std::uint16_t>(n));
         }
         return !o->deviceSerials.empty() &&
                o->deviceSerials.size() <= static_cast<std::size_t>(kMaxDevices);
       }}},
      {"--device-addresses-from", {[o](const std::string& v) {
         std::uint32_t a = 0;
         if (!ParseIpv4(v, &a)) return false;
         o->deviceAddressesFrom = a;
         return true;
       }}},
      {"--device-stagger", {ms(&o->deviceStaggerMs)}},
      {"--log", file(&o->logPath)},
      {"--record-out", file(&o->recordPath)},
  };
  table.flags = {
      {"--pty", &o->pty},
      {"--silent", &o->faults.silent},
      {"--answer-mode-switch", &o->faults.answerModeSwitch},
      {"--no-record-echo", &o->faults.noRecordEcho},
      {"--exit-on-stdin-eof", &o->exitOnStdinEof},
  };
  return table;
}

}  // namespace

std::vector<LongOption> ListLongOptions() {
  Options unused;
  std::optional<int> unused_count;
  const OptionTable table = MakeOptionTable(&unused, &unused_count);
  std::vector<LongOption> list = {{"--help"}, {"--version"}};
  for (const auto& [name, option] : table.withValue) {
    list.push_back({name, option.value, option.repeatable});
  }
  for (const auto& [name, field] : table.flags) list.push_back({name});
  std::sort(list.begin(), list.end(),
            [](const LongOption& a, const LongOption& b) { return a.name < b.name; });
  return list;
}

ParseOutcome ParseOptions(const std::vector<std::string>& args, Options* o, std::string* error) {
  std::optional<int> device_count;
  const OptionTable table = MakeOptionTable(o, &device_count);
  const auto& with_value = table.withValue;
  const auto& flags = table.flags;
  auto fail = [error](std::string why) {
    *error = EscapeControls(why);
    return ParseOutcome::kError;
  };

  // --help and --version first, wherever they stand: a word that is the value of an option
  // ("--log -h") is no option, and neither is anything after "--".
  bool help = false;
  bool version = false;
  for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
    help = help || IsHelp(args[i]);
    version = version || IsVersion(args[i]);
    if (with_value.count(args[i]) != 0) ++i;
  }
  if (help) return ParseOutcome::kHelp;
  if (version) return ParseOutcome::kVersion;

  std::set<std::string> given;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") {
      if (i + 1 < args.size()) return fail("unexpected argument: " + args[i + 1]);
      break;
    }
    std::string name = args[i];
    std::optional<std::string> value;
    const std::size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (name.empty() || name[0] != '-' || name == "-") {
      return fail("unexpected argument: " + args[i]);
    }
    if (IsHelp(name) || IsVersion(name) || flags.count(name) != 0) {
      if (value) return fail(name + " takes no value");
      if (const auto f = flags.find(name); f != flags.end()) *f->second = true;
      continue;
    }
    const auto h = with_value.find(name);
    if (h == with_value.end()) return fail("unknown option: " + args[i]);
    if (!given.insert(name).second && !h->second.repeatable) {
      return fail(name + " is given more than once");
    }
    if (!value) {
      if (i + 1 >= args.size()) return fail(name + " needs a value");
      value = args[++i];
    }
    if (!h->second.parse(*value)) return fail("bad value for " + name + ": " + *value);
  }

  if (!o->pty && !o->udpAddress) return fail("give --pty, --udp ADDRESS or both");
  if (!o->linkPath.empty() && !o->pty) return fail("--link needs --pty");
  for (const char* udp_only : {"--forge-status", "--trickle"}) {
    if (given.count(udp_only) != 0 && !o->udpAddress) {
      return fail(std::string(udp_only) + " needs --udp");
    }
  }
  if (o->deviceSerials.empty()) {
    const int n = device_count.value_or(1);
    for (int k = 0; k < n; ++k) {
      o->deviceSerials.push_back(static_cast<std::uint16_t>(o->serialNumber + k));
    }
  } else if (device_count && *device_count != static_cast<int>(o->deviceSerials.size())) {
    return fail("--devices and --device-serials disagree");
  } else if (given.count("--serial") != 0 && o->serialNumber != o->deviceSerials.front()) {
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
