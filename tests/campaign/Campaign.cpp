#include "campaign/Campaign.h"

#include "campaign/DialogDriver.h"
#include "campaign/Oracle.h"
#include "campaign/Readback.h"
#include "campaign/Truth.h"
#include "support/Program.h"
#include "support/Ser2net.h"
#include "support/SimProcess.h"

#include "rules/Modbus.h"

#include <uartce.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <poll.h>
#include <random>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace campaign {

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

std::uint64_t splitmix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

class Rng {
  public:
    explicit Rng(std::uint64_t seed) : m_engine(seed) {}
    // From lo to hi, both included.
    unsigned between(unsigned lo, unsigned hi) {
        return std::uniform_int_distribution<unsigned>(lo, hi)(m_engine);
    }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(m_engine) < p; }
    std::uint64_t next() { return m_engine(); }

  private:
    std::mt19937_64 m_engine;
};

std::string hex2(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

std::string join(const std::vector<std::string>& parts, const char* between) {
    std::string out;
    for (const std::string& p : parts)
        out += (out.empty() ? "" : between) + p;
    return out;
}

// ---- Fault models and drivers --------------------------------------------------------------

enum class Model {
    Clean,
    LineEcho,
    EchoMissingBytes,
    DoubleEcho,
    GarbledEcho,
    CrLfEndings,
    LfCrEndings,
    Drops,
    LateWithinWindow,
    LateBeyondWindow,
    Duplicates,
    Noise,
    SeveralModules,
};
constexpr int kModels = 13;

struct ModelInfo {
    Model model;
    const char* name;
    const char* option; // the simulator option it needs
    unsigned weight;    // how often it is drawn: a fault that costs time-outs, less often
};

constexpr std::array<ModelInfo, kModels> kModelInfo{{
    {Model::Clean, "clean", "--truth", 4},
    {Model::LineEcho, "line-echo", "--line-echo", 2},
    {Model::EchoMissingBytes, "echo-missing-bytes", "--echo-skip", 2},
    {Model::DoubleEcho, "double-echo", "--double-echo", 2},
    {Model::GarbledEcho, "garbled-echo", "--garble-echo", 1},
    {Model::CrLfEndings, "crlf-endings", "--ending", 2},
    {Model::LfCrEndings, "lfcr-endings", "--ending", 2},
    {Model::Drops, "drops", "--drop-every", 1},
    {Model::LateWithinWindow, "late-within-window", "--late-every", 1},
    {Model::LateBeyondWindow, "late-beyond-window", "--late-every", 1},
    {Model::Duplicates, "duplicates", "--duplicate-every", 2},
    {Model::Noise, "noise", "--noise-every", 2},
    {Model::SeveralModules, "several-modules", "--address", 2},
}};

const char* modelName(Model m) {
    return kModelInfo[static_cast<int>(m)].name;
}

enum class Driver {
    Library,
    RemoteRaw,
    RemoteRfc2217,
    OneShot,
    Stdin,
    Soak,
    Scan,
    Term,
    Dialog,
    Modbus,
    ModbusScan,
    ModbusSoak,
    ModbusTerm,
};

bool isModbus(Driver d) {
    return d == Driver::Modbus || d == Driver::ModbusScan || d == Driver::ModbusSoak ||
           d == Driver::ModbusTerm;
}

const char* driverName(Driver d) {
    switch (d) {
    case Driver::Library:
        return "library";
    case Driver::RemoteRaw:
        return "library over ser2net raw";
    case Driver::RemoteRfc2217:
        return "library over ser2net rfc2217";
    case Driver::OneShot:
        return "portula-cmd one-shot";
    case Driver::Stdin:
        return "portula-cmd stdin";
    case Driver::Soak:
        return "portula-cmd soak";
    case Driver::Scan:
        return "portula-cmd scan";
    case Driver::Term:
        return "portula-cmd term";
    case Driver::Dialog:
        return "dialog, CR mode";
    case Driver::Modbus:
        return "portula-cmd --modbus";
    case Driver::ModbusScan:
        return "portula-cmd scan --modbus";
    case Driver::ModbusSoak:
        return "portula-cmd soak --modbus";
    case Driver::ModbusTerm:
        return "portula-cmd term --modbus";
    }
    return "?";
}

// The low five bits of a round's seed pick its driver: most rounds call the library, which
// runs the most exchanges a second; every other path has its share. term and the dialog share
// one slot, told apart by the sixth bit. Slot 24 puts Modbus slaves on the line, for
// portula-cmd --modbus: the sixth and seventh bits pick its requests given as commands, a
// scan, a soak or term.
Driver driverFor(std::uint64_t roundSeed) {
    const unsigned slot = roundSeed % 32;
    if (slot == 24) {
        constexpr std::array<Driver, 4> kModbus{Driver::Modbus, Driver::ModbusScan,
                                                Driver::ModbusSoak, Driver::ModbusTerm};
        return kModbus[(roundSeed >> 5) & 3];
    }
    if (slot < 25)
        return Driver::Library;
    if (slot == 25)
        return Driver::RemoteRaw;
    if (slot == 26)
        return Driver::RemoteRfc2217;
    if (slot == 27)
        return Driver::OneShot;
    if (slot == 28)
        return roundSeed & 32 ? Driver::Dialog : Driver::Term;
    if (slot == 29)
        return Driver::Stdin;
    return slot == 30 ? Driver::Soak : Driver::Scan;
}
// The first rounds of a campaign take each driver once, so that a short one covers them all:
// those with few exchanges first, so that the library's long rounds do not spend the budget.
// Slots of seven bits: the sixth for term (28) or the dialog (60); the sixth and seventh for
// Modbus commands (24), scan (56), soak (88) or term (120).
constexpr unsigned kFirstSlotBits = 127;
constexpr std::array<unsigned, 14> kFirstSlots{27, 29, 24, 56, 88, 120, 30,
                                               31, 28, 60, 24, 25, 26,  0};

struct Round {
    std::uint64_t seed = 0;
    Model model = Model::Clean;
    Driver driver = Driver::Library;
    std::vector<std::string> simArgs; // without --truth
    std::vector<std::string> addresses;
    bool simChecksum = false;
    unsigned baud = 9600;
    unsigned timeoutMin = 50, timeoutMax = 100;
    unsigned firstByteMs = 25;
    std::size_t count = 100; // exchanges, processes or soak commands
    std::string modbus;      // "rtu" or "ascii": Modbus slaves on the line
    // Modbus: the copies of each request the line returns, told to portula-cmd (--line-echo);
    // none: it learns them.
    std::optional<unsigned> lineEcho;
};

std::string describe(const Round& r) {
    return std::string(modelName(r.model)) + " via " + driverName(r.driver) + " (portula-sim " +
           join(r.simArgs, " ") + "; time-outs " + std::to_string(r.timeoutMin) + "-" +
           std::to_string(r.timeoutMax) + " ms" +
           (r.lineEcho ? "; --line-echo " + std::to_string(*r.lineEcho) : "") + ")";
}

Round plan(std::uint64_t seed, const std::vector<Model>& available, unsigned windowMs) {
    Round r;
    r.seed = seed;
    r.driver = driverFor(seed);
    Rng rng(splitmix(seed));
    unsigned total = 0;
    for (Model m : available)
        total += kModelInfo[static_cast<int>(m)].weight;
    unsigned draw = rng.between(0, total - 1);
    for (Model m : available) {
        r.model = m;
        if (draw < kModelInfo[static_cast<int>(m)].weight)
            break;
        draw -= kModelInfo[static_cast<int>(m)].weight;
    }
    if (r.driver == Driver::Scan && r.model == Model::LateBeyondWindow)
        r.model = Model::LateWithinWindow; // a scan's waits make it minutes long
    // Modbus frames have no line ending to change, and the line's echo is whole or garbled.
    if (isModbus(r.driver)) {
        if (r.model == Model::EchoMissingBytes || r.model == Model::DoubleEcho)
            r.model = Model::LineEcho;
        else if (r.model == Model::CrLfEndings || r.model == Model::LfCrEndings)
            r.model = Model::Clean;
        else if (r.model == Model::LateBeyondWindow)
            r.model = Model::LateWithinWindow;
        // From bits the draws do not take, so that the rounds drawn before keep their plan: the
        // echo's other forms (twice, its start missing), and whether portula-cmd is told how
        // many copies the line returns or learns it.
        const unsigned form = (seed >> 11) & 3;
        if (r.model == Model::LineEcho && form == 1)
            r.model = Model::DoubleEcho;
        else if (r.model == Model::LineEcho && form == 3)
            r.model = Model::EchoMissingBytes;
        if ((seed >> 10) & 1)
            r.lineEcho = r.model == Model::DoubleEcho                                  ? 2
                         : r.model == Model::LineEcho || r.model == Model::GarbledEcho ? 1
                                                                                       : 0;
    }
    const bool process = r.driver == Driver::OneShot || r.driver == Driver::Stdin ||
                         r.driver == Driver::Soak || r.driver == Driver::Scan ||
                         r.driver == Driver::Term || isModbus(r.driver);

    const unsigned modules = r.model == Model::SeveralModules ? rng.between(2, 4) : 1;
    std::set<unsigned> chosen;
    while (chosen.size() < modules)
        chosen.insert(rng.between(0x01, 0x1F));
    for (unsigned a : chosen)
        r.addresses.push_back(hex2(a));
    r.simChecksum = rng.chance(0.2);
    if (r.driver == Driver::Scan && rng.chance(0.3))
        r.baud = 19200;
    r.simArgs = {"--address", join(r.addresses, ",")};
    if (r.simChecksum)
        r.simArgs.push_back("--checksum");
    if (r.baud != 9600)
        r.simArgs.insert(r.simArgs.end(), {"--baud", std::to_string(r.baud)});
    if (isModbus(r.driver)) {
        // Slave ids in decimal; no checksum setting, the frames carry their CRC or LRC.
        r.modbus = rng.chance(0.5) ? "rtu" : "ascii";
        r.simChecksum = false;
        r.addresses.clear();
        for (unsigned a : chosen)
            r.addresses.push_back(std::to_string(a));
        r.simArgs = {"--modbus", r.modbus, "--address", join(r.addresses, ",")};
        if (r.driver == Driver::ModbusScan && rng.chance(0.3)) {
            r.baud = 19200;
            r.simArgs.insert(r.simArgs.end(), {"--baud", "19200"});
        }
    }

    r.timeoutMin = 50;
    r.timeoutMax = rng.chance(0.2) ? 200 : 100;
    if (process)
        r.timeoutMin = 80, r.timeoutMax = 200;
    if (r.driver == Driver::Dialog)
        r.timeoutMin = r.timeoutMax = 200; // the dialog's own, which its operator cannot change
    const auto add = [&](std::initializer_list<std::string> args) {
        r.simArgs.insert(r.simArgs.end(), args);
    };
    const auto every = [&](unsigned lo, unsigned hi) {
        return std::to_string(rng.between(lo, hi));
    };
    const bool keep = r.driver != Driver::OneShot; // a new process cannot know what it is owed
    unsigned cheap = rng.between(300, 600);
    switch (r.model) {
    case Model::Clean:
    case Model::SeveralModules:
        break;
    case Model::LineEcho:
        add({"--line-echo"});
        break;
    case Model::EchoMissingBytes:
        add({"--echo-skip", every(1, 3)});
        break;
    case Model::DoubleEcho:
        add({"--double-echo"});
        break;
    case Model::GarbledEcho:
        add({"--line-echo", "--garble-echo", every(4, 12)});
        cheap = rng.between(40, 100);
        break;
    case Model::CrLfEndings:
        add({"--ending", "crlf"});
        break;
    case Model::LfCrEndings:
        add({"--ending", "lfcr"});
        break;
    case Model::Drops:
        add({"--drop-every", every(4, 10)});
        cheap = rng.between(25, 60);
        break;
    case Model::LateWithinWindow:
    case Model::LateBeyondWindow: {
        // One time-out for the round, so that "late" is measured against it.
        r.timeoutMin = r.timeoutMax = rng.between(r.timeoutMin, r.timeoutMax);
        const unsigned n = rng.between(3, 8);
        const unsigned ms =
            r.model == Model::LateWithinWindow
                ? rng.between(r.timeoutMax + 30, r.timeoutMax + windowMs - 50)
                : rng.between(r.timeoutMax + windowMs + 100, rng.chance(0.25) ? 3000 : 1500);
        add({"--late-every", std::to_string(n), "--late-ms", std::to_string(ms)});
        if (keep)
            add({"--keep-replies"});
        cheap =
            r.model == Model::LateWithinWindow ? rng.between(15, 30) : rng.between(n + 2, 2 * n);
        break;
    }
    case Model::Duplicates:
        add({"--duplicate-every", every(2, 6), "--duplicate-ms", every(1, 100)});
        if (keep && rng.chance(0.5))
            add({"--keep-replies"});
        cheap = rng.between(150, 300);
        break;
    case Model::Noise:
        add({"--noise-every", every(2, 8), "--noise-bytes", every(1, 8), "--seed",
             std::to_string(rng.between(1, 1000000))});
        cheap = rng.between(100, 250);
        break;
    }
    // Now and then the line's own pace on top: the wire, an adapter's ticks, a slow module.
    unsigned extraMs = 0;
    switch (rng.between(0, 7)) {
    case 0:
        add({"--wire-pace"});
        extraMs = 10;
        break;
    case 1: {
        const unsigned tick = rng.between(1, 4);
        add({"--batch-ms", std::to_string(tick)});
        extraMs = 2 * tick;
        break;
    }
    case 2: {
        const unsigned delay = rng.between(1, 10);
        add({"--delay-ms", std::to_string(delay)});
        extraMs = delay;
        break;
    }
    default:
        break;
    }
    r.firstByteMs = 25 + extraMs;

    switch (r.driver) {
    case Driver::Library:
    case Driver::RemoteRaw:
    case Driver::RemoteRfc2217:
        r.count = cheap;
        break;
    case Driver::OneShot:
        r.count = rng.between(4, 10); // processes, of 1 to 3 commands each
        break;
    case Driver::Stdin:
    case Driver::Modbus:
        r.count = std::min<std::size_t>(cheap / 3, 60);
        break;
    case Driver::Term:
    case Driver::Dialog:
    case Driver::ModbusTerm:
        r.count = std::min<std::size_t>(cheap / 5, 30);
        break;
    case Driver::Soak:
    case Driver::ModbusSoak:
        r.count = std::min<std::size_t>(cheap / 4, 50);
        break;
    case Driver::Scan:
    case Driver::ModbusScan:
        r.count = 1;
        break;
    }
    r.count = std::max<std::size_t>(r.count, 4);
    return r;
}

struct Command {
    std::string text;
    bool checksum = false;
};

// Traffic: name and firmware queries, readings, malformed commands, to modules that are there
// and to addresses nobody answers, with the checksum as the module expects it or not.
std::string commandText(Rng& rng, const Round& r, double absent) {
    std::string address;
    if (!rng.chance(absent)) {
        address = r.addresses[rng.between(0, static_cast<unsigned>(r.addresses.size()) - 1)];
    } else {
        do
            address = hex2(rng.between(0, 0xFF));
        while (std::find(r.addresses.begin(), r.addresses.end(), address) != r.addresses.end());
    }
    const unsigned kind = rng.between(0, 99);
    if (kind < 35)
        return "$" + address + "M";
    if (kind < 60)
        return "$" + address + "F";
    if (kind < 85)
        return "#" + address;
    static const std::string junk = "ABCDEGHIJKLNOPQRSTUVWXYZ0123456789+-.";
    std::string text = "$" + address;
    for (unsigned n = rng.between(1, 6); n > 0; --n)
        text += junk[rng.between(0, static_cast<unsigned>(junk.size()) - 1)];
    return text;
}

// The library's own runs carry most of the campaign: there, a command nobody answers (which
// costs its time-out and the late-reply wait after it) is rare.
Command nextCommand(Rng& rng, const Round& r) {
    return {commandText(rng, r, 0.01), rng.chance(0.01) ? !r.simChecksum : r.simChecksum};
}

// A Modbus request to a slave on the line (now and then to an id nobody has): reads and
// writes of each table, some at addresses or with values the slaves refuse with an exception,
// and a function they do not know.
std::string modbusRequestBytes(Rng& rng, const Round& r, double absent) {
    unsigned id = 0;
    if (!rng.chance(absent)) {
        id = static_cast<unsigned>(
            std::stoul(r.addresses[rng.between(0, static_cast<unsigned>(r.addresses.size()) - 1)]));
    } else {
        do
            id = rng.between(1, 247);
        while (std::find(r.addresses.begin(), r.addresses.end(), std::to_string(id)) !=
               r.addresses.end());
    }
    std::string b{static_cast<char>(id)};
    const auto word = [&b](unsigned v) {
        b.push_back(static_cast<char>(v >> 8));
        b.push_back(static_cast<char>(v & 0xFF));
    };
    const unsigned at = rng.chance(0.05) ? rng.between(995, 1100) : rng.between(0, 60);
    const unsigned kind = rng.between(0, 99);
    if (kind < 45) { // read registers (3, 4) or bits (1, 2)
        const bool registers = kind < 30;
        b.push_back(static_cast<char>(registers ? (kind < 18 ? 3 : 4) : (kind < 38 ? 1 : 2)));
        word(at);
        word(rng.chance(0.03) ? 0 : rng.between(1, registers ? 10 : 40));
    } else if (kind < 60) { // write a register
        b.push_back(6);
        word(at);
        word(rng.between(0, 0xFFFF));
    } else if (kind < 70) { // write a coil: FF00, 0000, or a value refused
        b.push_back(5);
        word(at);
        word(rng.chance(0.1) ? 0x1234 : rng.chance(0.5) ? 0xFF00 : 0);
    } else if (kind < 82) { // write registers
        const unsigned n = rng.between(1, 5);
        b.push_back(16);
        word(at);
        word(n);
        b.push_back(static_cast<char>(2 * n));
        for (unsigned i = 0; i < n; ++i)
            word(rng.between(0, 0xFFFF));
    } else if (kind < 94) { // write coils
        const unsigned n = rng.between(1, 20);
        b.push_back(15);
        word(at);
        word(n);
        b.push_back(static_cast<char>((n + 7) / 8));
        for (unsigned i = 0; i < (n + 7) / 8; ++i)
            b.push_back(static_cast<char>(rng.between(0, 255)));
    } else { // a function no slave has
        b.push_back(static_cast<char>(rng.chance(0.5) ? 8 : 0x2B));
        word(at);
        word(1);
    }
    return b;
}

// A request a soak repeats, and the reply the slave's tables as they start out give it: reads
// of either register table, a register written, an address beyond the tables and a function
// no slave has; now and then to an id nobody has.
struct SoakRequest {
    std::string request, reply;
};

SoakRequest modbusSoakRequest(Rng& rng, const Round& r) {
    unsigned id = static_cast<unsigned>(
        std::stoul(r.addresses[rng.between(0, static_cast<unsigned>(r.addresses.size()) - 1)]));
    if (rng.chance(0.1))
        do
            id = rng.between(1, 247);
        while (std::find(r.addresses.begin(), r.addresses.end(), std::to_string(id)) !=
               r.addresses.end());
    const auto word = [](std::string& b, unsigned v) {
        b.push_back(static_cast<char>(v >> 8));
        b.push_back(static_cast<char>(v & 0xFF));
    };
    const char slave = static_cast<char>(id);
    const unsigned kind = rng.between(0, 99);
    SoakRequest s;
    if (kind < 60) { // holding registers, 100 x id + n; input registers, 10000 more
        const bool input = kind >= 40;
        const unsigned at = rng.between(0, 60), n = rng.between(1, 10);
        s.request = {slave, static_cast<char>(input ? 4 : 3)};
        word(s.request, at);
        word(s.request, n);
        s.reply = {slave, static_cast<char>(input ? 4 : 3), static_cast<char>(2 * n)};
        for (unsigned i = 0; i < n; ++i)
            word(s.reply, (input ? 10000 : 0) + 100 * id + at + i);
    } else if (kind < 80) { // a register written: the reply repeats the request
        s.request = {slave, 6};
        word(s.request, rng.between(0, 60));
        word(s.request, rng.between(0, 0xFFFF));
        s.reply = s.request;
    } else if (kind < 90) { // past the tables: exception 2
        s.request = {slave, 3};
        word(s.request, rng.between(1000, 1100));
        word(s.request, 1);
        s.reply = {slave, static_cast<char>(0x83), 2};
    } else { // a function no slave has: exception 1
        s.request = {slave, 0x2B};
        word(s.request, 0);
        word(s.request, 1);
        s.reply = {slave, static_cast<char>(0xAB), 1};
    }
    return s;
}

// ---- Processes ------------------------------------------------------------------------------

struct ProcessResult {
    bool started = false;
    int exitStatus = -1;
    std::string out, err;
    std::int64_t startUs = 0, endUs = 0;
};

ProcessResult runProcess(const std::vector<std::string>& args, const std::string* input,
                         int limitMs) {
    ProcessResult result;
    result.startUs = nowUs();
    testsupport::Program child(args, {.inputPipe = input != nullptr});
    if (!child.started())
        return result;
    result.started = true;
    child.finish(std::chrono::milliseconds(limitMs), input ? *input : std::string_view());
    result.endUs = nowUs();
    const int status = child.rawStatus();
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = child.out();
    result.err = child.err();
    return result;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            out.push_back(line);
    return out;
}

// ---- Figures ----------------------------------------------------------------------------------

struct ModelFigures {
    long rounds = 0, exchanges = 0, right = 0, failed = 0, lost = 0, wrong = 0;
    std::map<std::string, long> excused;
};

struct Figures {
    std::map<Model, ModelFigures> models;
    std::map<Driver, long> exchangesByDriver;
    std::map<Driver, double> secondsByDriver; // what each path costs of the budget
    long exchanges = 0, wrong = 0, anomalies = 0, rounds = 0;
    std::vector<std::string> wrongSeeds;
};

std::string escaped(const std::string& bytes) {
    std::string out;
    for (const unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\')
            out.push_back(static_cast<char>(c));
        else
            out += (c == '\\' ? std::string("\\\\") : "\\x" + hex2(c));
    }
    return out;
}

class Campaign {
  public:
    explicit Campaign(const Settings& s) : m_settings(s) {}

    int run();

  private:
    bool probeSimulator();
    bool runRound(const Round& round);
    // known: the time-out of each command heard so far in the round, by when it was heard.
    void judge(const Round& round, const std::vector<TruthRecord>& truth,
               const std::vector<Exchange>& exchanges, std::map<std::int64_t, unsigned>& known);
    void reportWrong(const Round& round, const std::vector<TruthRecord>& truth, const Exchange& e,
                     const Judgement& j);
    bool budgetLeft() const {
        return !m_settings.replay && m_figures.exchanges < m_settings.exchanges &&
               Clock::now() < m_deadline;
    }
    void settle(TruthFile& truth, const testsupport::SimProcess& sim, std::size_t heard);

    std::vector<Exchange> libraryRun(const Round& round, Rng& rng, const std::string& device);
    std::vector<std::vector<Exchange>> oneShotRuns(const Round& round, Rng& rng,
                                                   const std::string& device);
    std::vector<Exchange> stdinRun(const Round& round, Rng& rng, const std::string& device);
    std::vector<Exchange> termRun(const Round& round, Rng& rng, const std::string& device);
    struct TermOutcome;
    std::optional<TermOutcome> runTerm(const Round& round, const std::vector<std::string>& args,
                                       const std::string& input, const std::string& logPath,
                                       const std::string& name, bool modbus);
    std::vector<Exchange> dialogRun(const Round& round, Rng& rng, const std::string& device);
    std::vector<Exchange> commandsFrom(const Round& round, const ProcessResult& p,
                                       const std::vector<Command>& sent, unsigned timeout);
    std::vector<std::vector<Exchange>> modbusRuns(const Round& round, Rng& rng,
                                                  const std::string& device);
    std::vector<Exchange> modbusFrom(const Round& round, const ProcessResult& p,
                                     const std::vector<std::string>& sent, unsigned timeout);
    void soak(const Round& round, Rng& rng, const std::string& device, TruthFile& truth,
              const testsupport::SimProcess& sim);
    void scan(const Round& round, Rng& rng, const std::string& device, TruthFile& truth,
              const testsupport::SimProcess& sim);
    void modbusScan(const Round& round, Rng& rng, const std::string& device, TruthFile& truth,
                    const testsupport::SimProcess& sim);
    void modbusSoak(const Round& round, Rng& rng, const std::string& device, TruthFile& truth,
                    const testsupport::SimProcess& sim);
    std::vector<Exchange> modbusTermRun(const Round& round, Rng& rng, const std::string& device);
    // A wrong answer that is no single exchange: a scan's listing, a soak's totals.
    void wrongOfRound(const Round& round, const std::string& what);
    void anomaly(const Round& round, const std::string& what);

    Settings m_settings;
    Figures m_figures;
    std::vector<Model> m_available;
    std::vector<std::string> m_missing;
    OracleParams m_params;
    Clock::time_point m_deadline;
    std::string m_dir;
    bool m_stop = false; // a wrong answer ends the campaign unless it keeps going
};

bool Campaign::probeSimulator() {
    const ProcessResult help = runProcess({m_settings.simPath, "--help"}, nullptr, 10000);
    if (!help.started || help.exitStatus != 0) {
        std::fprintf(stderr, "portula-campaign: %s --help did not run\n",
                     m_settings.simPath.c_str());
        return false;
    }
    if (help.out.find("--truth") == std::string::npos) {
        std::fprintf(stderr,
                     "portula-campaign: %s has no --truth: nothing to check the answers "
                     "against\n",
                     m_settings.simPath.c_str());
        return false;
    }
    for (const ModelInfo& info : kModelInfo) {
        if (help.out.find(info.option) != std::string::npos)
            m_available.push_back(info.model);
        else
            m_missing.push_back(std::string(info.name) + " (needs " + info.option + ")");
    }
    return true;
}

void Campaign::settle(TruthFile& truth, const testsupport::SimProcess& sim, std::size_t heard) {
    // The simulator writes each record as it happens: once it is idle with every command heard,
    // what ended before the drivers' answers is in the file.
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    do {
        const bool idle = sim.waitIdle(500);
        truth.poll();
        if (idle && truth.heardCount() >= heard)
            return;
    } while (Clock::now() < deadline);
}

std::vector<Exchange> Campaign::libraryRun(const Round& round, Rng& rng,
                                           const std::string& device) {
    std::vector<Exchange> run;
    std::uint8_t port = 0;
    const auto open = [&] {
        const std::uint16_t status = UARTCE_OpenDevice(device.c_str(), round.baud, 8, 0, 1, &port);
        if (status != UARTCE_OK) {
            char why[512] = "";
            UARTCE_LastError(port, why, sizeof why);
            anomaly(round, "the library could not open " + device + ": " + why);
        }
        return status == UARTCE_OK;
    };
    if (!open())
        return run;
    std::array<char, UARTCE_REPLY_BUFFER_SIZE> reply{};
    // A fault that costs a time-out on most commands does not get to spend the campaign, nor does
    // a line at the wire's own pace, where a reply takes 16 ms at 9600 baud.
    const bool paced =
        std::find(round.simArgs.begin(), round.simArgs.end(), "--wire-pace") != round.simArgs.end();
    const auto roundEnd = Clock::now() + std::chrono::seconds(paced ? 2 : 6);
    for (std::size_t i = 0;
         i < round.count && (m_settings.replay || (budgetLeft() && Clock::now() < roundEnd)); ++i) {
        if (rng.chance(0.02)) {
            Close_Com(port);
            if (!open())
                return run;
        }
        const Command c = nextCommand(rng, round);
        Exchange e;
        e.driver = driverName(round.driver);
        e.command = c.text;
        e.checksum = c.checksum;
        e.index = run.size();
        e.timeoutMs = rng.between(round.timeoutMin, round.timeoutMax);
        std::uint32_t length = 0;
        const bool firstByte = rng.chance(0.5);
        e.startUs = nowUs();
        e.status =
            firstByte
                ? UARTCE_Command(port, c.text.c_str(), reply.data(),
                                 static_cast<std::uint16_t>(round.firstByteMs),
                                 static_cast<std::uint16_t>(e.timeoutMs), c.checksum, &length)
                : Send_Receive_Cmd(port, c.text.c_str(), reply.data(),
                                   static_cast<std::uint16_t>(e.timeoutMs), c.checksum, &length);
        e.endUs = nowUs();
        e.reply.assign(reply.data(), std::min<std::size_t>(length, reply.size()));
        run.push_back(std::move(e));
    }
    Close_Com(port);
    return run;
}

std::vector<Exchange> Campaign::commandsFrom(const Round& round, const ProcessResult& p,
                                             const std::vector<Command>& sent, unsigned timeout) {
    std::vector<Exchange> run;
    const std::vector<std::string> objects = lines(p.out);
    for (const std::string& line : objects) {
        const std::optional<JsonObject> o = parseJsonObject(line);
        const std::optional<std::string> command = o ? stringMember(*o, "command") : std::nullopt;
        const std::optional<std::string> reply = o ? stringMember(*o, "reply") : std::nullopt;
        const std::optional<std::int64_t> status = o ? integerMember(*o, "status") : std::nullopt;
        if (!command || !reply || !status) {
            anomaly(round, "portula-cmd printed a line that is not a result: " + line);
            continue;
        }
        if (run.size() >= sent.size() || *command != sent[run.size()].text) {
            anomaly(round, "portula-cmd printed a result for " + escaped(*command) +
                               " out of the order the commands were given");
            return {};
        }
        Exchange e;
        e.driver = driverName(round.driver);
        e.command = *command;
        e.checksum = sent[run.size()].checksum;
        e.status = static_cast<unsigned>(*status);
        e.reply = *reply;
        e.startUs = p.startUs;
        e.endUs = p.endUs;
        e.index = run.size();
        e.timeoutMs = timeout;
        run.push_back(std::move(e));
    }
    if (run.size() != sent.size())
        anomaly(round, "portula-cmd printed " + std::to_string(run.size()) + " results for " +
                           std::to_string(sent.size()) + " commands (exit " +
                           std::to_string(p.exitStatus) + "): " + p.err);
    return run;
}

// portula-cmd --modbus: requests on the command line, one to three a process, back to back, or
// many on standard input over one open port. Every reply it reports (an exception's too) must
// be the one the slave sent after that request, as the truth has it.
std::vector<std::vector<Exchange>> Campaign::modbusRuns(const Round& round, Rng& rng,
                                                        const std::string& device) {
    std::vector<std::vector<Exchange>> runs;
    const bool standardInput = rng.chance(0.5);
    const std::size_t processes = standardInput ? 1 : std::max<std::size_t>(round.count / 3, 2);
    for (std::size_t n = 0; n < processes && (budgetLeft() || m_settings.replay); ++n) {
        const unsigned timeout = rng.between(round.timeoutMin, round.timeoutMax);
        std::vector<std::string> args{
            m_settings.cmdPath, "-p",     device,      "--modbus",
            round.modbus,       "--json", "--timeout", std::to_string(timeout)};
        if (round.lineEcho)
            args.insert(args.end(), {"--line-echo", std::to_string(*round.lineEcho)});
        std::vector<std::string> sent;
        std::string input;
        for (std::size_t k = standardInput ? round.count : rng.between(1, 3); k > 0; --k) {
            sent.push_back(modbusRequestBytes(rng, round, 0.05));
            if (standardInput)
                input += portula::hexBytes(sent.back()) + "\n";
            else
                args.push_back(portula::hexBytes(sent.back()));
        }
        const ProcessResult result =
            runProcess(args, standardInput ? &input : nullptr, standardInput ? 120000 : 30000);
        if (!result.started) {
            anomaly(round, "portula-cmd did not start");
            break;
        }
        runs.push_back(modbusFrom(round, result, sent, timeout));
    }
    return runs;
}

std::vector<Exchange> Campaign::modbusFrom(const Round& round, const ProcessResult& p,
                                           const std::vector<std::string>& sent, unsigned timeout) {
    std::vector<Exchange> run;
    for (const std::string& line : lines(p.out)) {
        const std::optional<JsonObject> o = parseJsonObject(line);
        const std::optional<std::string> command = o ? stringMember(*o, "command") : std::nullopt;
        const std::optional<std::string> reply = o ? stringMember(*o, "reply") : std::nullopt;
        const std::optional<std::int64_t> status = o ? integerMember(*o, "status") : std::nullopt;
        // An empty reply (no answer) has no hex bytes to read.
        const std::optional<std::string> bytes = !reply           ? std::nullopt
                                                 : reply->empty() ? std::string()
                                                                  : portula::parseHexBytes(*reply);
        if (!command || !bytes || !status) {
            anomaly(round, "portula-cmd --modbus printed a line that is not a result: " + line);
            continue;
        }
        if (run.size() >= sent.size() || *command != portula::hexBytes(sent[run.size()])) {
            anomaly(round, "portula-cmd --modbus printed a result for " + *command +
                               " out of the order the requests were given");
            return {};
        }
        Exchange e;
        e.driver = driverName(round.driver);
        e.modbus = round.modbus;
        e.command = modbusHeardFrame(round.modbus, sent[run.size()]);
        e.status = static_cast<unsigned>(*status);
        e.reply = *bytes;
        e.startUs = p.startUs;
        e.endUs = p.endUs;
        e.index = run.size();
        e.timeoutMs = timeout;
        run.push_back(std::move(e));
    }
    if (run.size() != sent.size())
        anomaly(round, "portula-cmd --modbus printed " + std::to_string(run.size()) +
                           " results for " + std::to_string(sent.size()) + " requests (exit " +
                           std::to_string(p.exitStatus) + "): " + p.err);
    return run;
}

std::vector<std::vector<Exchange>> Campaign::oneShotRuns(const Round& round, Rng& rng,
                                                         const std::string& device) {
    std::vector<std::vector<Exchange>> runs;
    // Back to back: each process starts as soon as the one before has ended.
    for (std::size_t p = 0; p < round.count && (budgetLeft() || m_settings.replay); ++p) {
        const unsigned timeout = rng.between(round.timeoutMin, round.timeoutMax);
        const bool checksum = rng.chance(0.9) ? round.simChecksum : !round.simChecksum;
        std::vector<std::string> args{m_settings.cmdPath, "-p",        device,
                                      "--json",           "--timeout", std::to_string(timeout)};
        if (checksum)
            args.push_back("--checksum");
        std::vector<Command> sent;
        for (unsigned n = rng.between(1, 3); n > 0; --n) {
            sent.push_back({commandText(rng, round, 0.1), checksum});
            args.push_back(sent.back().text);
        }
        const ProcessResult result = runProcess(args, nullptr, 30000);
        if (!result.started) {
            anomaly(round, "portula-cmd did not start");
            break;
        }
        runs.push_back(commandsFrom(round, result, sent, timeout));
    }
    return runs;
}

std::vector<Exchange> Campaign::stdinRun(const Round& round, Rng& rng, const std::string& device) {
    const unsigned timeout = rng.between(round.timeoutMin, round.timeoutMax);
    const bool checksum = rng.chance(0.9) ? round.simChecksum : !round.simChecksum;
    std::vector<std::string> args{m_settings.cmdPath, "-p",        device,
                                  "--json",           "--timeout", std::to_string(timeout)};
    if (checksum)
        args.push_back("--checksum");
    std::vector<Command> sent;
    std::string input;
    for (std::size_t n = 0; n < round.count; ++n) {
        sent.push_back({commandText(rng, round, 0.1), checksum});
        input += sent.back().text + (rng.chance(0.2) ? "\r\n" : "\n");
    }
    const ProcessResult result = runProcess(args, &input, 120000);
    if (!result.started) {
        anomaly(round, "portula-cmd did not start");
        return {};
    }
    return commandsFrom(round, result, sent, timeout);
}

// How far the wall clock (term's log times) is ahead of the steady clock (everything else).
std::int64_t wallMinusSteadyUs() {
    const std::int64_t before = nowUs();
    const std::int64_t wall = std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
    return wall - (before + nowUs()) / 2;
}

// A file's bytes; none when it cannot be read.
std::string fileText(const std::string& path) {
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char chunk[8192];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
            text.append(chunk, n);
        std::fclose(f);
    }
    return text;
}

// Lines of a program's output, empty ones kept (an empty reply is one).
std::vector<std::string> screenLines(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        out.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// What a run of term gave: how it ended, its log read back, and the offset of the wall clock
// from the steady one, with the slack its drift while term ran gives each window.
struct Campaign::TermOutcome {
    ProcessResult process;
    TermLog log;
    std::int64_t offsetBeforeUs;
    std::int64_t slackUs;
};

// Runs term (name: how the anomalies call it) on its script and reads its --log back; none when
// it did not start.
std::optional<Campaign::TermOutcome> Campaign::runTerm(const Round& round,
                                                       const std::vector<std::string>& args,
                                                       const std::string& input,
                                                       const std::string& logPath,
                                                       const std::string& name, bool modbus) {
    const std::int64_t offsetBefore = wallMinusSteadyUs();
    ProcessResult p = runProcess(args, &input, 120000);
    const std::int64_t offsetAfter = wallMinusSteadyUs();
    const std::string logText = fileText(logPath);
    std::error_code ignored;
    if (!std::getenv("PORTULA_CAMPAIGN_KEEP"))
        std::filesystem::remove(logPath, ignored);
    if (!p.started) {
        anomaly(round, "portula-cmd " + name + " did not start");
        return std::nullopt;
    }
    if (p.exitStatus != 0)
        anomaly(round, "portula-cmd " + name + " ended with status " +
                           std::to_string(p.exitStatus) + ": " + p.err);
    TermLog log = parseTermLog(logText, modbus);
    for (const std::string& problem : log.problems)
        anomaly(round, name + "'s log: " + escaped(problem));
    // The clocks may drift apart while term runs: the windows widen by what they drifted.
    const std::int64_t slackUs = 1000 + std::abs(offsetAfter - offsetBefore);
    return TermOutcome{std::move(p), std::move(log), offsetBefore, slackUs};
}

// term reading a script from a pipe: each line goes out with the CR ending and what came back
// is printed on a line of its own. Its --log has each frame followed at once by the reply or
// the failure it got, with times; the screen must show those answers in that order. Lines for
// the terminal itself come between the commands now and then: an empty line, :settings, and a
// command sent with the checksum turned the other way and back.
std::vector<Exchange> Campaign::termRun(const Round& round, Rng& rng, const std::string& device) {
    const unsigned timeout = rng.between(round.timeoutMin, round.timeoutMax);
    const bool checksum = rng.chance(0.9) ? round.simChecksum : !round.simChecksum;
    const std::string logPath = m_dir + "/term-" + std::to_string(round.seed) + ".log";
    std::vector<std::string> args{m_settings.cmdPath,      "term",  "-p",   device, "--timeout",
                                  std::to_string(timeout), "--log", logPath};
    if (checksum || rng.chance(0.3))
        args.insert(args.end(), {"--checksum", checksum ? "on" : "off"});
    const auto checksumLine = [](bool on) { return on ? ":checksum on\n" : ":checksum off\n"; };
    std::vector<Command> sent;
    std::string input;
    for (std::size_t n = 0; n < round.count; ++n) {
        const unsigned aside = rng.between(0, 99);
        const bool turned = aside >= 6 && aside < 10;
        if (aside < 3)
            input += "\n";
        else if (aside < 6)
            input += ":settings\n";
        else if (turned)
            input += checksumLine(!checksum);
        sent.push_back({commandText(rng, round, 0.1), turned ? !checksum : checksum});
        input += sent.back().text + (rng.chance(0.2) ? "\r\n" : "\n");
        if (turned)
            input += checksumLine(checksum);
    }
    const std::optional<TermOutcome> ran = runTerm(round, args, input, logPath, "term", false);
    if (!ran)
        return {};
    const auto& [p, log, offsetBefore, slackUs] = *ran;
    std::vector<Exchange> run;
    std::vector<std::string> onScreen;
    for (const TermAnswer& a : log.answers) {
        if (run.size() >= sent.size()) {
            anomaly(round, "term's log has more frames than the " + std::to_string(sent.size()) +
                               " commands given");
            break;
        }
        const Command& c = sent[run.size()];
        if (a.frame != framed(c.text, c.checksum) + "\r") {
            anomaly(round, "term sent " + escaped(a.frame) + " for " + c.text +
                               (c.checksum ? " with" : " without") + " the checksum");
            return {};
        }
        Exchange e;
        e.driver = driverName(round.driver);
        e.command = c.text;
        e.checksum = c.checksum;
        e.status = a.status;
        e.reply = a.reply;
        const Window w = steadyWindow(a, offsetBefore, slackUs, {p.startUs, p.endUs});
        e.startUs = w.startUs;
        e.endUs = w.endUs;
        e.index = run.size();
        e.timeoutMs = timeout;
        run.push_back(std::move(e));
        onScreen.push_back(screenLine(a));
    }
    if (run.size() != sent.size())
        anomaly(round, "term's log has " + std::to_string(run.size()) + " answers for " +
                           std::to_string(sent.size()) + " commands (exit " +
                           std::to_string(p.exitStatus) + "): " + p.err);
    if (const std::size_t missing = missingInOrder(screenLines(p.out), onScreen))
        anomaly(round, std::to_string(missing) + " of the " + std::to_string(onScreen.size()) +
                           " answers term logged are not on its screen in that order");
    return run;
}

// term --modbus reading requests in hex from a pipe, with lines for the terminal itself now and
// then: an empty line, :settings, and a line that is no request (refused, nothing sent). Its
// --log has each request's frame, CRC or LRC included, then the reply's hex and, for an
// exception or a failed check, the Err_Code line; the screen shows the same in that order.
std::vector<Exchange> Campaign::modbusTermRun(const Round& round, Rng& rng,
                                              const std::string& device) {
    const unsigned timeout = rng.between(round.timeoutMin, round.timeoutMax);
    const std::string logPath = m_dir + "/term-" + std::to_string(round.seed) + ".log";
    std::vector<std::string> args{
        m_settings.cmdPath,      "term",  "--modbus", round.modbus, "-p", device, "--timeout",
        std::to_string(timeout), "--log", logPath};
    if (round.lineEcho)
        args.insert(args.end(), {"--line-echo", std::to_string(*round.lineEcho)});
    std::vector<std::string> sent;
    std::string input;
    for (std::size_t n = 0; n < round.count; ++n) {
        const unsigned aside = rng.between(0, 99);
        if (aside < 3)
            input += "\n";
        else if (aside < 6)
            input += ":settings\n";
        else if (aside < 9)
            input += "05 0G 00\n";
        sent.push_back(modbusRequestBytes(rng, round, 0.1));
        std::string hex = portula::hexBytes(sent.back());
        if (rng.chance(0.2))
            hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
        input += hex + (rng.chance(0.2) ? "\r\n" : "\n");
    }
    const std::optional<TermOutcome> ran =
        runTerm(round, args, input, logPath, "term --modbus", true);
    if (!ran)
        return {};
    const auto& [p, log, offsetBefore, slackUs] = *ran;
    const portula::ModbusMode mode =
        round.modbus == "rtu" ? portula::ModbusMode::Rtu : portula::ModbusMode::Ascii;
    std::vector<Exchange> run;
    std::vector<std::string> onScreen;
    for (const TermAnswer& a : log.answers) {
        if (run.size() >= sent.size()) {
            anomaly(round, "term --modbus's log has more frames than the " +
                               std::to_string(sent.size()) + " requests given");
            break;
        }
        const std::string& request = sent[run.size()];
        if (a.frame != portula::modbusFrame(mode, request)) {
            anomaly(round, "term --modbus sent " + escaped(a.frame) + " for " +
                               portula::hexBytes(request));
            return {};
        }
        Exchange e;
        e.driver = driverName(round.driver);
        e.modbus = round.modbus;
        e.command = modbusHeardFrame(round.modbus, request);
        e.status = a.status;
        e.reply = a.reply;
        const Window w = steadyWindow(a, offsetBefore, slackUs, {p.startUs, p.endUs});
        e.startUs = w.startUs;
        e.endUs = w.endUs;
        e.index = run.size();
        e.timeoutMs = timeout;
        run.push_back(std::move(e));
        if (!a.reply.empty())
            onScreen.push_back(portula::hexBytes(a.reply));
        if (a.status != 0)
            onScreen.push_back(a.failure);
    }
    if (run.size() != sent.size())
        anomaly(round, "term --modbus's log has " + std::to_string(run.size()) + " answers for " +
                           std::to_string(sent.size()) + " requests (exit " +
                           std::to_string(p.exitStatus) + "): " + p.err);
    if (const std::size_t missing = missingInOrder(screenLines(p.out), onScreen))
        anomaly(round, std::to_string(missing) + " of the " + std::to_string(onScreen.size()) +
                           " lines term --modbus logged are not on its screen in that order");
    return run;
}

// The dialog as its operator uses it in the CR mode: a command typed and sent, the receive
// field read. Now and then a pause, in which the dialog's receive poll takes what arrives, and
// now and then the port closed and opened again, the checksum box set meanwhile.
std::vector<Exchange> Campaign::dialogRun(const Round& round, Rng& rng, const std::string& device) {
    std::vector<Exchange> run;
    DialogSession dialog(device);
    const bool usual = rng.chance(0.9) ? round.simChecksum : !round.simChecksum;
    bool checksum = usual;
    if (const std::string why = dialog.open(checksum); !why.empty()) {
        anomaly(round, "the dialog did not open " + device + ": " + why);
        return run;
    }
    // Every command nobody answers costs the dialog's whole 200 ms: such a round ends early.
    const auto roundEnd = Clock::now() + std::chrono::seconds(4);
    unsigned unusualLeft = 0; // commands still to send with the checksum box set the other way
    for (std::size_t i = 0;
         i < round.count && (m_settings.replay || (budgetLeft() && Clock::now() < roundEnd)); ++i) {
        const bool back = checksum != usual && unusualLeft-- == 0;
        if (back || rng.chance(0.03)) {
            dialog.close();
            checksum = !back && rng.chance(0.25) ? !usual : usual;
            unusualLeft = checksum != usual ? rng.between(0, 2) : 0;
            if (const std::string why = dialog.open(checksum); !why.empty()) {
                anomaly(round, "the dialog did not open " + device + " again: " + why);
                break;
            }
        }
        const std::string text = commandText(rng, round, 0.05);
        const DialogSession::Sent s = dialog.send(text);
        if (!s.clicked) {
            anomaly(round, "the dialog's Send_Message is disabled with the port open");
            break;
        }
        if (s.beyondLatin1) {
            anomaly(round, "the receive field shows characters no byte stands for after " + text);
            continue;
        }
        const FieldAnswer f = parseReceiveField(s.field);
        Exchange e;
        e.driver = driverName(round.driver);
        e.command = text;
        e.checksum = checksum;
        e.status = f.status;
        e.reply = f.reply;
        e.startUs = s.startUs;
        e.endUs = s.endUs;
        e.index = run.size();
        e.timeoutMs = round.timeoutMax;
        run.push_back(std::move(e));
        if (rng.chance(0.1))
            dialog.pause(rng.between(1, 250));
    }
    dialog.close();
    for (const std::string& message : dialog.messages())
        anomaly(round, "the dialog put up a message: " + message);
    return run;
}

void Campaign::soak(const Round& round, Rng& rng, const std::string& device, TruthFile& truth,
                    const testsupport::SimProcess& sim) {
    const unsigned timeout = rng.between(round.timeoutMin, round.timeoutMax);
    const std::string address = round.addresses.front();
    const std::string command = rng.chance(0.5) ? "$" + address + "M" : "#" + address;
    std::vector<std::string> args{m_settings.cmdPath,
                                  "soak",
                                  "-p",
                                  device,
                                  "--json",
                                  "--timeout",
                                  std::to_string(timeout),
                                  "--count",
                                  std::to_string(round.count)};
    if (round.simChecksum)
        args.push_back("--checksum");
    args.push_back(command);
    const ProcessResult p = runProcess(args, nullptr, 120000);
    settle(truth, sim, round.count);
    const std::optional<JsonObject> o =
        lines(p.out).empty() ? std::nullopt : parseJsonObject(lines(p.out).back());
    const std::optional<std::int64_t> sent = o ? integerMember(*o, "sent") : std::nullopt;
    const std::optional<std::int64_t> answered = o ? integerMember(*o, "answered") : std::nullopt;
    if (!sent || !answered) {
        anomaly(round, "soak printed no totals (exit " + std::to_string(p.exitStatus) +
                           "): " + p.out + p.err);
        return;
    }
    ModelFigures& f = m_figures.models[round.model];
    f.exchanges += *sent;
    m_figures.exchanges += *sent;
    m_figures.exchangesByDriver[round.driver] += *sent;
    const std::string why =
        soakInconsistency(static_cast<long>(*sent), static_cast<long>(*answered),
                          static_cast<long>(round.count), truth.records(), p.startUs, p.endUs);
    if (why.empty()) {
        f.right += *answered;
        f.failed += *sent - *answered;
        return;
    }
    ++f.wrong;
    ++m_figures.wrong;
    m_figures.wrongSeeds.push_back(std::to_string(round.seed));
    std::printf("WRONG  seed %llu  round %llu (--replay %llu)\n  %s\n  soak %s: %s\n  totals %s\n",
                static_cast<unsigned long long>(m_settings.seed),
                static_cast<unsigned long long>(round.seed),
                static_cast<unsigned long long>(round.seed), describe(round).c_str(),
                command.c_str(), why.c_str(), lines(p.out).back().c_str());
    if (!m_settings.keepGoing)
        m_stop = true;
}

void Campaign::scan(const Round& round, Rng& rng, const std::string& device, TruthFile& truth,
                    const testsupport::SimProcess& sim) {
    unsigned lo = 0xFF, hi = 0;
    for (const std::string& a : round.addresses) {
        const unsigned v = static_cast<unsigned>(std::stoul(a, nullptr, 16));
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    lo -= std::min(lo, rng.between(0, 3));
    hi = std::min(0xFFu, hi + rng.between(0, 3));
    std::vector<unsigned> bauds{round.baud};
    if (rng.chance(0.4))
        bauds.push_back(round.baud == 9600 ? 4800 : 38400);
    std::sort(bauds.begin(), bauds.end());
    std::string baudList;
    for (unsigned b : bauds)
        baudList += (baudList.empty() ? "" : ",") + std::to_string(b);
    const unsigned mode = rng.between(0, 3); // auto twice as often
    const std::string checksumMode = mode == 0 ? "on" : mode == 1 ? "off" : "auto";
    std::vector<std::string> args{m_settings.cmdPath,
                                  "scan",
                                  "-p",
                                  device,
                                  "--json",
                                  "--addresses",
                                  hex2(lo) + "-" + hex2(hi),
                                  "--bauds",
                                  baudList,
                                  "--checksum=" + checksumMode};
    // Now and then the line is one bus of a plant: a second bus, a simulator of its own with a
    // module that may have an address of the first bus, is scanned at the same time by another
    // worker. Each module must be listed on its own bus, with the firmware it says.
    std::unique_ptr<testsupport::SimProcess> otherBus;
    std::vector<Module> otherConfigured;
    if (rng.chance(0.35)) {
        const std::string address =
            rng.chance(0.5) ? round.addresses.front() : hex2(rng.between(lo, hi));
        otherBus = std::make_unique<testsupport::SimProcess>(
            m_settings.simPath, std::vector<std::string>{"--address", address, "--baud",
                                                         std::to_string(bauds.front())});
        if (otherBus->device().empty()) {
            anomaly(round, "the second bus's simulator did not start");
            otherBus.reset();
        } else {
            args.insert(args.begin() + 4, {"-p", otherBus->device()});
            otherConfigured.push_back({address, bauds.front(), false, "PORTULA-SIM"});
        }
    }
    const ProcessResult p = runProcess(args, nullptr, 120000);
    settle(truth, sim, 0);
    std::vector<Module> configured;
    for (const std::string& a : round.addresses)
        configured.push_back({a, round.baud, round.simChecksum,
                              round.addresses.size() == 1 ? "PORTULA-SIM" : "PORTULA-SIM-" + a});
    std::vector<Module> listed, listedOnOther;
    for (const std::string& line : lines(p.out)) {
        const std::optional<JsonObject> o = parseJsonObject(line);
        const auto address = o ? stringMember(*o, "address") : std::nullopt;
        const auto baud = o ? integerMember(*o, "baud") : std::nullopt;
        const auto checksum = o ? boolMember(*o, "checksum") : std::nullopt;
        const auto name = o ? stringMember(*o, "name") : std::nullopt;
        const auto port = o ? stringMember(*o, "port") : std::nullopt;
        const auto firmware = o ? stringMember(*o, "firmware") : std::nullopt;
        if (!address || !baud || !checksum || !name) {
            anomaly(round, "scan printed a line that is not a module: " + line);
            continue;
        }
        if (otherBus && (!port || (*port != device && *port != otherBus->device()))) {
            anomaly(round, "a plant's scan listed a module without its bus: " + line);
            continue;
        }
        Module m{*address, static_cast<unsigned>(*baud), *checksum, *name};
        // The simulator's modules all say the same firmware; one that did not say has none. Any
        // other firmware makes the module wrong as listed.
        if (firmware && *firmware != "A1.07")
            m.name += " (firmware " + *firmware + ")";
        (otherBus && *port == otherBus->device() ? listedOnOther : listed).push_back(m);
    }
    ModelFigures& f = m_figures.models[round.model];
    const bool findable = checksumMode == "auto" || (checksumMode == "on") == round.simChecksum;
    long missed = 0;
    for (const Module& m : configured)
        if (findable && std::find(listed.begin(), listed.end(), m) == listed.end())
            ++missed;
    std::vector<Module> wrongs = scanWrongs(listed, configured);
    for (Module& m : scanWrongs(listedOnOther, otherConfigured)) {
        m.name += " (on the second bus)";
        wrongs.push_back(m);
    }
    listed.insert(listed.end(), listedOnOther.begin(), listedOnOther.end());
    const long checked = static_cast<long>(listed.size()) + missed;
    f.exchanges += checked;
    f.lost += missed;
    f.right += static_cast<long>(listed.size() - wrongs.size());
    m_figures.exchanges += checked;
    m_figures.exchangesByDriver[round.driver] += checked;
    if (m_settings.verbose)
        std::printf("  scan %s at %s, checksum %s%s: %zu listed, %ld missed\n",
                    (hex2(lo) + "-" + hex2(hi)).c_str(), baudList.c_str(), checksumMode.c_str(),
                    otherBus ? ", one of two buses" : "", listed.size(), missed);
    for (const Module& m : wrongs) {
        ++f.wrong;
        ++m_figures.wrong;
        m_figures.wrongSeeds.push_back(std::to_string(round.seed));
        std::printf("WRONG  seed %llu  round %llu (--replay %llu)\n  %s\n  scan listed %s at %u "
                    "baud, checksum %s, name %s: no such module on the line\n",
                    static_cast<unsigned long long>(m_settings.seed),
                    static_cast<unsigned long long>(round.seed),
                    static_cast<unsigned long long>(round.seed), describe(round).c_str(),
                    m.address.c_str(), m.baud, m.checksum ? "on" : "off", escaped(m.name).c_str());
        for (const std::string& line : lines(p.err))
            std::printf("  stderr: %s\n", line.c_str());
        if (!m_settings.keepGoing)
            m_stop = true;
    }
    (void)truth;
}

void Campaign::wrongOfRound(const Round& round, const std::string& what) {
    ++m_figures.models[round.model].wrong;
    ++m_figures.wrong;
    if (m_figures.wrongSeeds.empty() || m_figures.wrongSeeds.back() != std::to_string(round.seed))
        m_figures.wrongSeeds.push_back(std::to_string(round.seed));
    std::printf("WRONG  seed %llu  round %llu (--replay %llu)\n  %s\n  %s\n",
                static_cast<unsigned long long>(m_settings.seed),
                static_cast<unsigned long long>(round.seed),
                static_cast<unsigned long long>(round.seed), describe(round).c_str(), what.c_str());
    if (!m_settings.keepGoing)
        m_stop = true;
}

// scan --modbus over ids around the slaves', at the line's rate and now and then another, at
// no parity (now and then even first, which a pseudo-terminal refuses and the scan goes past).
// Each slave listed must be on the line, at its framing, with the reply it really sent to the
// scan's request; a slave not listed is lost.
void Campaign::modbusScan(const Round& round, Rng& rng, const std::string& device, TruthFile& truth,
                          const testsupport::SimProcess& sim) {
    ModbusLine line;
    line.mode = round.modbus;
    line.baud = round.baud;
    for (const std::string& a : round.addresses)
        line.ids.push_back(static_cast<unsigned>(std::stoul(a)));
    const auto [low, high] = std::minmax_element(line.ids.begin(), line.ids.end());
    const unsigned lo = *low - std::min(*low - 1, rng.between(0, 3));
    const unsigned hi = std::min(247u, *high + rng.between(0, 3));
    std::string addresses = std::to_string(lo) + "-" + std::to_string(hi);
    if (rng.chance(0.3)) { // a list: the slaves' ids and a few nobody has, in any order
        std::vector<std::string> ids = round.addresses;
        for (unsigned n = rng.between(1, 3); n > 0; --n)
            ids.push_back(std::to_string(rng.between(1, 247)));
        std::shuffle(ids.begin(), ids.end(), std::mt19937_64(rng.next()));
        addresses = join(ids, ",");
    }
    std::vector<unsigned> bauds{round.baud};
    if (rng.chance(0.4))
        bauds.push_back(round.baud == 9600 ? 4800 : 38400);
    std::sort(bauds.begin(), bauds.end());
    std::string baudList;
    for (unsigned b : bauds)
        baudList += (baudList.empty() ? "" : ",") + std::to_string(b);
    const std::string parities = rng.chance(0.15) ? "even,none" : "none";
    const std::vector<std::string> args{
        m_settings.cmdPath, "scan",    "--modbus", round.modbus, "-p",         device,  "--json",
        "--addresses",      addresses, "--bauds",  baudList,     "--parities", parities};
    const ProcessResult p = runProcess(args, nullptr, 120000);
    settle(truth, sim, 0);
    if (!p.started) {
        anomaly(round, "portula-cmd scan --modbus did not start");
        return;
    }
    std::vector<ModbusListing> listed;
    for (const std::string& text : lines(p.out)) {
        const std::optional<JsonObject> o = parseJsonObject(text);
        const auto id = o ? integerMember(*o, "id") : std::nullopt;
        const auto baud = o ? integerMember(*o, "baud") : std::nullopt;
        const auto parity = o ? stringMember(*o, "parity") : std::nullopt;
        const auto stopBits = o ? integerMember(*o, "stop_bits") : std::nullopt;
        const auto reply = o ? stringMember(*o, "reply") : std::nullopt;
        const auto bytes = reply ? portula::parseHexBytes(*reply) : std::nullopt;
        const auto exception = o ? integerMember(*o, "exception") : std::nullopt;
        if (!id || !baud || !parity || !stopBits || !bytes ||
            (o->count("exception") && !exception)) {
            anomaly(round, "scan --modbus printed a line that is not a slave: " + text);
            continue;
        }
        ModbusListing m{static_cast<unsigned>(*id),
                        static_cast<unsigned>(*baud),
                        *parity,
                        static_cast<unsigned>(*stopBits),
                        *bytes,
                        std::nullopt};
        if (exception)
            m.exception = static_cast<unsigned>(*exception);
        listed.push_back(std::move(m));
    }
    if (p.exitStatus != 0 && p.exitStatus != 17)
        anomaly(round,
                "scan --modbus ended with status " + std::to_string(p.exitStatus) + ": " + p.err);
    const std::vector<std::string> wrongs = modbusScanWrongs(listed, line, truth.records());
    long missed = 0;
    for (unsigned id : line.ids)
        if (std::none_of(listed.begin(), listed.end(),
                         [id](const ModbusListing& m) { return m.id == id; }))
            ++missed;
    ModelFigures& f = m_figures.models[round.model];
    const long checked = static_cast<long>(listed.size()) + missed;
    f.exchanges += checked;
    f.lost += missed;
    m_figures.exchanges += checked;
    m_figures.exchangesByDriver[round.driver] += checked;
    if (m_settings.verbose)
        std::printf("  scan --modbus %s ids %s at %s, parities %s: %zu listed, %ld missed\n",
                    round.modbus.c_str(), addresses.c_str(), baudList.c_str(), parities.c_str(),
                    listed.size(), missed);
    for (std::size_t k = 0; k < listed.size(); ++k) {
        if (wrongs[k].empty()) {
            ++f.right;
            continue;
        }
        const ModbusListing& m = listed[k];
        std::string what = "scan --modbus --addresses " + addresses + " --bauds " + baudList +
                           " --parities " + parities + " listed id " + std::to_string(m.id) +
                           " at " + std::to_string(m.baud) + " baud, parity " + m.parity +
                           ", reply " + portula::hexBytes(m.reply) + ": " + wrongs[k];
        for (const std::string& e : lines(p.err))
            what += "\n  stderr: " + e;
        wrongOfRound(round, what);
    }
}

// soak --modbus: one request repeated, --expect its reply as the slave's tables give it, another
// reply, or none. Its totals must agree with the replies the truth shows.
void Campaign::modbusSoak(const Round& round, Rng& rng, const std::string& device, TruthFile& truth,
                          const testsupport::SimProcess& sim) {
    const unsigned timeout = rng.between(round.timeoutMin, round.timeoutMax);
    const SoakRequest s = modbusSoakRequest(rng, round);
    std::optional<std::string> expect;
    const unsigned pick = rng.between(0, 99);
    if (pick < 55) {
        expect = s.reply;
    } else if (pick < 70) {
        expect = s.reply;
        expect->back() = static_cast<char>(expect->back() ^ 1);
    }
    std::vector<std::string> args{m_settings.cmdPath,
                                  "soak",
                                  "--modbus",
                                  round.modbus,
                                  "-p",
                                  device,
                                  "--json",
                                  "--timeout",
                                  std::to_string(timeout),
                                  "--count",
                                  std::to_string(round.count)};
    if (expect)
        args.insert(args.end(), {"--expect", portula::hexBytes(*expect)});
    if (round.lineEcho)
        args.insert(args.end(), {"--line-echo", std::to_string(*round.lineEcho)});
    args.push_back(portula::hexBytes(s.request));
    const ProcessResult p = runProcess(args, nullptr, 120000);
    settle(truth, sim, round.count);
    const std::vector<std::string> out = lines(p.out);
    const std::optional<JsonObject> o = out.empty() ? std::nullopt : parseJsonObject(out.back());
    SoakTotals t;
    const std::pair<const char*, long*> members[] = {{"sent", &t.sent},
                                                     {"answered", &t.answered},
                                                     {"unexpected", &t.unexpected},
                                                     {"timeouts", &t.timeouts},
                                                     {"checksum_errors", &t.checksumErrors},
                                                     {"other_errors", &t.otherErrors}};
    bool whole = o.has_value();
    for (const auto& [name, value] : members) {
        const std::optional<std::int64_t> n = o ? integerMember(*o, name) : std::nullopt;
        whole = whole && n;
        *value = n ? static_cast<long>(*n) : 0;
    }
    if (!whole) {
        anomaly(round, "soak --modbus printed no totals (exit " + std::to_string(p.exitStatus) +
                           "): " + p.out + p.err);
        return;
    }
    ModelFigures& f = m_figures.models[round.model];
    f.exchanges += t.sent;
    m_figures.exchanges += t.sent;
    m_figures.exchangesByDriver[round.driver] += t.sent;
    if (m_settings.verbose)
        std::printf("  soak --modbus %s %s, expect %s: %s\n", round.modbus.c_str(),
                    portula::hexBytes(s.request).c_str(),
                    expect ? portula::hexBytes(*expect).c_str() : "none", out.back().c_str());
    const std::string why = modbusSoakInconsistency(t, static_cast<long>(round.count), round.modbus,
                                                    modbusHeardFrame(round.modbus, s.request),
                                                    expect, truth.records(), p.startUs, p.endUs);
    if (why.empty()) {
        f.right += t.answered + t.unexpected;
        f.failed += t.sent - t.answered - t.unexpected;
        return;
    }
    wrongOfRound(round,
                 "soak --modbus " + round.modbus + " --count " + std::to_string(round.count) +
                     (expect ? " --expect '" + portula::hexBytes(*expect) + "'" : "") + " '" +
                     portula::hexBytes(s.request) + "': " + why + "\n  totals " + out.back());
}

void Campaign::anomaly(const Round& round, const std::string& what) {
    ++m_figures.anomalies;
    std::printf("ANOMALY  round %llu  %s: %s\n", static_cast<unsigned long long>(round.seed),
                describe(round).c_str(), what.c_str());
}

void Campaign::reportWrong(const Round& round, const std::vector<TruthRecord>& truth,
                           const Exchange& e, const Judgement& j) {
    std::printf("WRONG  seed %llu  round %llu (--replay %llu)\n  %s\n",
                static_cast<unsigned long long>(m_settings.seed),
                static_cast<unsigned long long>(round.seed),
                static_cast<unsigned long long>(round.seed), describe(round).c_str());
    std::printf("  exchange %zu: %s%s  time-out %u ms  status %u  reply \"%s\"  from %lld to "
                "%lld us\n  why: %s\n",
                e.index, escaped(e.command).c_str(), e.checksum ? " (checksum)" : "", e.timeoutMs,
                e.status, escaped(e.reply).c_str(), static_cast<long long>(e.startUs),
                static_cast<long long>(e.endUs), j.why.c_str());
    if (j.heard >= 0)
        std::printf("  heard: %s\n", truth[j.heard].line.c_str());
    if (j.reply >= 0)
        std::printf("  its reply: %s\n", truth[j.reply].line.c_str());
    std::printf("  truth nearby:\n");
    for (const std::string& line : nearbyTruth(truth, e))
        std::printf("    %s\n", line.c_str());
}

void Campaign::judge(const Round& round, const std::vector<TruthRecord>& truth,
                     const std::vector<Exchange>& exchanges,
                     std::map<std::int64_t, unsigned>& known) {
    const std::vector<Judgement> verdicts =
        judgeRun(truth, exchanges, m_params, known, round.timeoutMin);
    if (m_settings.verbose && !exchanges.empty()) {
        std::map<unsigned, long> statuses;
        for (const Exchange& e : exchanges)
            ++statuses[e.status];
        std::string text;
        for (const auto& [status, count] : statuses)
            text += " " + std::to_string(count) + " status " + std::to_string(status) + ",";
        text.pop_back();
        std::printf("  %zu answers:%s\n", exchanges.size(), text.c_str());
    }
    ModelFigures& f = m_figures.models[round.model];
    for (std::size_t k = 0; k < exchanges.size(); ++k) {
        const Judgement& j = verdicts[k];
        ++f.exchanges;
        ++m_figures.exchanges;
        ++m_figures.exchangesByDriver[round.driver];
        switch (j.verdict) {
        case Verdict::Right:
            ++f.right;
            break;
        case Verdict::Failed:
            ++f.failed;
            break;
        case Verdict::Lost:
            ++f.lost;
            if (m_settings.verbose)
                std::printf("  lost: %s status %u: %s\n", exchanges[k].command.c_str(),
                            exchanges[k].status, j.why.c_str());
            break;
        case Verdict::Excused:
            ++f.excused[truth[j.excuse].kind == Kind::Duplicate ? "duplicate"
                                                                : "late beyond window"];
            break;
        case Verdict::Wrong:
            ++f.wrong;
            ++m_figures.wrong;
            if (m_figures.wrongSeeds.empty() ||
                m_figures.wrongSeeds.back() != std::to_string(round.seed))
                m_figures.wrongSeeds.push_back(std::to_string(round.seed));
            if (f.wrong <= 3 || !m_settings.keepGoing)
                reportWrong(round, truth, exchanges[k], j);
            if (!m_settings.keepGoing)
                m_stop = true;
            break;
        }
    }
}

bool Campaign::runRound(const Round& round) {
    Rng rng(splitmix(round.seed ^ 0x5DEECE66Dull));
    const auto roundBegan = Clock::now();
    const std::string truthPath = m_dir + "/truth-" + std::to_string(round.seed) + ".jsonl";
    std::vector<std::string> args = round.simArgs;
    args.insert(args.begin(), {"--truth", truthPath});
    testsupport::SimProcess sim(m_settings.simPath, args);
    if (sim.device().empty()) {
        std::fprintf(stderr, "portula-campaign: portula-sim %s did not start\n",
                     join(args, " ").c_str());
        return false;
    }
    if (m_settings.verbose)
        std::printf("round %llu: %s, %zu\n", static_cast<unsigned long long>(round.seed),
                    describe(round).c_str(), round.count);
    ++m_figures.rounds;
    ++m_figures.models[round.model].rounds;
    TruthFile truth(truthPath);
    std::map<std::int64_t, unsigned> known;
    const auto judgeAll = [&](const std::vector<std::vector<Exchange>>& runs) {
        std::size_t sent = 0;
        for (const auto& run : runs)
            sent += run.size();
        settle(truth, sim, sent);
        for (const auto& run : runs)
            judge(round, truth.records(), run, known);
    };
    switch (round.driver) {
    case Driver::Library:
        judgeAll({libraryRun(round, rng, sim.device())});
        break;
    case Driver::RemoteRaw:
    case Driver::RemoteRfc2217: {
        testsupport::Ser2net server(
            {{round.driver == Driver::RemoteRaw ? testsupport::Ser2net::Protocol::Raw
                                                : testsupport::Ser2net::Protocol::Rfc2217,
              sim.device()}});
        if (!server.running()) {
            std::fprintf(stderr, "portula-campaign: ser2net did not start: %s\n",
                         server.log().c_str());
            return false;
        }
        judgeAll({libraryRun(round, rng, server.url(0))});
        break;
    }
    case Driver::OneShot:
        judgeAll(oneShotRuns(round, rng, sim.device()));
        break;
    case Driver::Stdin:
        judgeAll({stdinRun(round, rng, sim.device())});
        break;
    case Driver::Modbus:
        judgeAll(modbusRuns(round, rng, sim.device()));
        break;
    case Driver::Term:
        judgeAll({termRun(round, rng, sim.device())});
        break;
    case Driver::Dialog:
        judgeAll({dialogRun(round, rng, sim.device())});
        break;
    case Driver::Soak:
        soak(round, rng, sim.device(), truth, sim);
        break;
    case Driver::Scan:
        scan(round, rng, sim.device(), truth, sim);
        break;
    case Driver::ModbusScan:
        modbusScan(round, rng, sim.device(), truth, sim);
        break;
    case Driver::ModbusSoak:
        modbusSoak(round, rng, sim.device(), truth, sim);
        break;
    case Driver::ModbusTerm:
        judgeAll({modbusTermRun(round, rng, sim.device())});
        break;
    }
    const double took = std::chrono::duration<double>(Clock::now() - roundBegan).count();
    m_figures.secondsByDriver[round.driver] += took;
    if (m_settings.verbose)
        std::printf("  round %llu took %.2f s\n", static_cast<unsigned long long>(round.seed),
                    took);
    for (const std::string& line : truth.unreadable())
        anomaly(round, "a truth line the campaign cannot read: " + line);
    std::error_code ignored;
    if (!std::getenv("PORTULA_CAMPAIGN_KEEP"))
        std::filesystem::remove(truthPath, ignored);
    return true;
}

int Campaign::run() {
    const auto began = Clock::now();
    m_deadline = began + std::chrono::milliseconds(static_cast<long>(m_settings.seconds * 1000));
    m_params.lateWindowMs = m_settings.lateWindowMs;
    if (!probeSimulator())
        return 2;
    std::string pattern =
        (std::filesystem::temp_directory_path() / "portula-campaign-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::fprintf(stderr, "portula-campaign: no temporary folder\n");
        return 2;
    }
    m_dir = pattern;
    std::printf("portula-campaign: seed %llu, at most %ld exchanges in %.0f s, late window %u ms\n",
                static_cast<unsigned long long>(m_settings.seed), m_settings.exchanges,
                m_settings.seconds, m_settings.lateWindowMs);
    std::fflush(stdout);
    bool ran = true;
    if (m_settings.replay) {
        ran = runRound(plan(*m_settings.replay, m_available, m_settings.lateWindowMs));
    } else {
        for (std::uint64_t i = 0; budgetLeft() && !m_stop && ran; ++i) {
            std::uint64_t seed = splitmix(m_settings.seed ^ splitmix(i));
            if (i < kFirstSlots.size())
                seed = (seed & ~std::uint64_t{kFirstSlotBits}) | kFirstSlots[i];
            ran = runRound(plan(seed, m_available, m_settings.lateWindowMs));
            std::fflush(stdout);
        }
    }
    std::error_code ignored;
    if (!std::getenv("PORTULA_CAMPAIGN_KEEP"))
        std::filesystem::remove_all(m_dir, ignored);

    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    std::printf("\nexchanges run %ld in %ld rounds, %.1f s; wrong %ld; anomalies %ld\n",
                m_figures.exchanges, m_figures.rounds, seconds, m_figures.wrong,
                m_figures.anomalies);
    for (const auto& [driver, count] : m_figures.exchangesByDriver)
        std::printf("  %-30s %7ld exchanges %7.1f s\n", driverName(driver), count,
                    m_figures.secondsByDriver[driver]);
    std::printf("%-20s %6s %9s %8s %6s %7s %6s  %s\n", "fault model", "rounds", "exchanges",
                "right", "wrong", "failed", "lost", "excused");
    for (const auto& [model, f] : m_figures.models) {
        std::string excused;
        for (const auto& [why, count] : f.excused)
            excused += (excused.empty() ? "" : ", ") + std::to_string(count) + " " + why;
        std::printf("%-20s %6ld %9ld %8ld %6ld %7ld %6ld  %s\n", modelName(model), f.rounds,
                    f.exchanges, f.right, f.wrong, f.failed, f.lost,
                    excused.empty() ? "0" : excused.c_str());
    }
    if (!m_figures.wrongSeeds.empty())
        std::printf("rounds with wrong answers (--replay): %s\n",
                    join(m_figures.wrongSeeds, " ").c_str());
    for (const std::string& m : m_missing)
        std::printf("not run: %s, which this simulator lacks\n", m.c_str());
    if (!ran)
        return 2;
    if (m_figures.wrong > 0)
        return 1;
    return m_missing.empty() ? 0 : 3;
}

} // namespace

int run(const Settings& settings) {
    return Campaign(settings).run();
}

} // namespace campaign
