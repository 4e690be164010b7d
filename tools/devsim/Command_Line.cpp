#include "tools/devsim/Command_Line.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>

namespace Quorin_Tools::Devsim {

namespace {

constexpr std::uint32_t max_baud = 100'000'000;
constexpr unsigned max_split_pieces = 1024;
constexpr std::uint64_t max_time_us = 60'000'000;  // a minute, in µs or ms alike
constexpr std::uint32_t max_period = std::numeric_limits<std::uint32_t>::max();

/// The number in all of `text`, if it lies in [low, high].
std::optional<std::uint64_t> parse_number(std::string_view text, std::uint64_t low, std::uint64_t high) {
    std::uint64_t value = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || failure != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value < low || value > high) return std::nullopt;
    return value;
}

/// Sets something from an option's value; returns an error text, empty on success.
using Setter = std::function<std::string(std::string_view value, Config& config)>;

/// An option whose value is a number in [low, high], stored by `store`.
Setter number(std::uint64_t low, std::uint64_t high, std::function<void(Config&, std::uint64_t)> store) {
    return [=](std::string_view value, Config& config) -> std::string {
        const auto parsed = parse_number(value, low, high);
        if (!parsed) return "wants a whole number from " + std::to_string(low) + " to " + std::to_string(high);
        store(config, *parsed);
        return {};
    };
}

/// An option that sets one fault period.
Setter fault(std::uint32_t Fault_Plan::*period) {
    return number(0, max_period, [period](Config& c, std::uint64_t v) {
        c.behaviour.faults.*period = static_cast<std::uint32_t>(v);
    });
}

struct Option {
    std::string_view name;  ///< with its dashes
    bool takes_value;       ///< flags take none
    Setter set;
};

std::string set_tpdo_mode(std::string_view value, Config& config) {
    if (value == "echo") config.behaviour.tpdo_mode = TPDO_Mode::ECHO_RPDO;
    else if (value == "counter") config.behaviour.tpdo_mode = TPDO_Mode::COUNTER;
    else return "wants echo or counter";
    return {};
}

const std::array<Option, 17>& options() {
    using std::chrono::microseconds;
    using std::chrono::milliseconds;
    static const std::array<Option, 17> table{{
        {"--baud", true, number(0, max_baud, [](Config& c, std::uint64_t v) {
             c.baud = static_cast<std::uint32_t>(v); })},
        {"--native-usb", false, [](std::string_view, Config& c) { c.native_usb = true; return std::string(); }},
        {"--split", true, number(1, max_split_pieces, [](Config& c, std::uint64_t v) {
             c.behaviour.split_pieces = static_cast<unsigned>(v); })},
        {"--split-gap", true, number(0, max_time_us, [](Config& c, std::uint64_t v) {
             c.behaviour.split_gap = microseconds(v); })},
        {"--tpdo", true, set_tpdo_mode},
        {"--tpdo-size", true, number(Behaviour::min_tpdo_size_bytes, Behaviour::max_tpdo_size_bytes,
                                     [](Config& c, std::uint64_t v) { c.behaviour.tpdo_size = v; })},
        {"--delay", true, number(0, max_time_us, [](Config& c, std::uint64_t v) {
             c.behaviour.answer_delay = microseconds(v); })},
        {"--drop-every", true, fault(&Fault_Plan::drop_every)},
        {"--corrupt-crc-every", true, fault(&Fault_Plan::corrupt_crc_every)},
        {"--wrong-source-every", true, fault(&Fault_Plan::wrong_source_every)},
        {"--wrong-length-every", true, fault(&Fault_Plan::wrong_length_every)},
        {"--oversize-length-every", true, fault(&Fault_Plan::oversize_length_every)},
        {"--stray-every", true, fault(&Fault_Plan::stray_every)},
        {"--unplug-after", true, number(0, std::numeric_limits<std::uint64_t>::max(), [](Config& c, std::uint64_t v) {
             c.unplug_after = v; })},
        {"--replug-after", true, number(0, max_time_us, [](Config& c, std::uint64_t v) {
             c.replug_after = milliseconds(v); })},
        {"--trace", true, [](std::string_view v, Config& c) {
             if (v.empty()) return std::string("wants a file name");
             c.trace_path = v;
             return std::string();
         }},
        {"--help", false, nullptr},
    }};
    return table;
}

const Option* find_option(std::string_view name) {
    if (name == "-h") name = "--help";
    for (const Option& option : options())
        if (option.name == name) return &option;
    return nullptr;
}

}  // namespace

namespace {

/// Reads the option at argv[i] (and its value, moving i past it); returns an error text.
std::string read_option(int argc, const char* const argv[], int& i, Command_Line& line) {
    const std::string_view argument = argv[i];
    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    const Option* option = find_option(name);
    if (option == nullptr) return "unknown option " + std::string(name);
    if (option->name == "--help") {
        line.help = true;
        return {};
    }
    if (!option->takes_value) {
        if (equals != std::string_view::npos) return std::string(name) + " takes no value";
        return option->set({}, line.config);
    }
    if (equals == std::string_view::npos && i + 1 >= argc) return std::string(name) + " wants a value";
    const std::string_view value = equals != std::string_view::npos ? argument.substr(equals + 1) : argv[++i];
    const std::string problem = option->set(value, line.config);
    return problem.empty() ? problem : std::string(name) + " " + problem + ", not '" + std::string(value) + "'";
}

}  // namespace

Command_Line Command_Line::parse(int argc, const char* const argv[]) {
    Command_Line line;
    std::optional<std::string> link;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        std::string problem;
        if (argument.starts_with("-") && argument != "-") {
            problem = read_option(argc, argv, i, line);
        } else if (link) {
            problem = "more than one link path: " + *link + " and " + std::string(argument);
        } else {
            link = std::string(argument);
        }
        if (line.error.empty()) line.error = problem;
    }
    if (line.help) line.error.clear();
    else if (line.error.empty() && !link) line.error = "no link path given";
    if (link) line.config.link_path = *link;
    return line;
}

void Command_Line::print_help(std::ostream& out) {
    out << R"(Usage: quorin-devsim [options] <link-path>

Plays a device (link id 0xA0) for the Quorin server (0x00) on a pseudo-terminal,
published as the symbolic link <link-path> (e.g. /tmp/quorin-sim0), so that
"bind NAME <link-path>" at the server's console reaches it.

The device checks every frame (magic 0xAA 0x55, identifiers 0x00 to 0xA0, the
length word, the CRC unless --native-usb) and answers as a device would:
  - PDO frame with reply quota 0 (RPDO): keeps its data, sends nothing;
  - PDO frame with a reply quota (TPDO request): sends a TPDO frame (protocol
    0x11, source 0xA0, destination 0x00), cut to fit the reply quota;
  - SDO frame: sends an SDO frame holding the echo of each SDO message it
    carried (so each answer keeps its request's EPID, byte 4), in order, as
    many as fit in the reply quota; the rest wait for the next SDO frame,
    ahead of its own answers (an SDO frame with nothing to answer gets an
    empty SDO frame);
  - anything else: counted, not answered.
A frame that fails a check is counted and dropped; the search for the next
frame resumes one byte after its start.

Link:
  --baud N              pace the link as a real line of N baud: a frame of n
                        bytes takes n * 10 / N seconds in each direction before
                        it is handled or delivered (a pty itself moves bytes at
                        once); 0 = no pacing (default 0, at most 100000000)
  --native-usb          CRCs are not checked, and 0x00 0x00 is sent as CRC
  --split N             write each answer in N near-equal pieces (1..1024,
                        default 1), so that the server must reassemble them
  --split-gap US        pause between pieces when not paced, in microseconds
                        (default 100); paced pieces leave when the line has
                        carried them

Answers:
  --tpdo echo|counter   TPDO data: the data of the last RPDO frame, padding
                        included (echo, the default; empty before the first
                        RPDO), or a 4-byte little-endian answer counter
                        counting from 1 followed by bytes 4, 5, 6, ... (counter)
  --tpdo-size N         bytes of counter data (4..1014, default 32)
  --delay US            answer delay: from handling a request to sending its
                        answer, in microseconds (default 0)

Faults (N counts the answers built, TPDO and SDO alike, from 1; the fault hits
every answer whose number is a multiple of N; 0 = never, the default):
  --drop-every N        the answer is not sent (its SDO answers are lost)
  --corrupt-crc-every N the answer's two CRC bytes are inverted
  --wrong-source-every N  source identifier 0xA1, with a CRC that matches
  --wrong-length-every N  the length word announces 16 bytes less (16 more
                        for a 16-byte frame), with a CRC that matches
  --oversize-length-every N  the length word announces 1024 bytes
  --stray-every N       6 stray bytes (00 AA 13 55 FF AA) precede the answer
  --unplug-after N      close the pty on the Nth good frame since it was
                        published, unanswered, as an unplugged device would
                        (the server's reads fail); the link is removed
  --replug-after MS     after an unplug, publish a new pty at the same link
                        path MS milliseconds later; without it the simulator
                        ends after an unplug

Output:
  --trace FILE          write a line per frame received:
                          read_ns handled_ns kind length reply_quota check sdo_messages
                        times in ns of the monotonic clock (CLOCK_MONOTONIC);
                        kind: rpdo, tpdo-request, sdo, other, bad;
                        check: ok, length, header, source, destination, crc
  -h, --help            show this text

On SIGINT or SIGTERM the simulator removes the link and ends. At the end it
prints its counters (frames by kind and by failed check, answers, faults,
bytes) to standard output, one "name: value" per line.

Exit status: 0 after a clean end; 1 when the link cannot be published (the
path exists and is not a stale link of an earlier simulator) or the pty or
trace file cannot be made; 2 for a bad command line.
)";
}

}  // namespace Quorin_Tools::Devsim
