// The library's entry points: port table, command and reply handling.

#include "Deadline.h"
#include "Messages.h"
#include "ModbusMatch.h"
#include "Platform.h"
#include "PortMap.h"
#include "ReplyMatch.h"
#include "Report.h"
#include "Rs485Settings.h"
#include "Trace.h"
#include "rules/Framing.h"
#include "rules/Modbus.h"
#include "rules/Rates.h"
#include "rules/Rs485.h"
#include "rules/Status.h"

#include <uartce.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

namespace {
using namespace uartce;
using namespace portula;
using platform::Io;

constexpr std::size_t kMaxReply = UARTCE_REPLY_BUFFER_SIZE - 1;
constexpr std::size_t kMaxChunk = UARTCE_RECEIVE_BUFFER_SIZE - 1;
// Longest command accepted; the frame adds at most three bytes.
constexpr std::size_t kMaxCommand = 4096;
// A port whose device went away looks for its return no more often than this: a stat is cheap,
// but the dialog polls ten times a second and a gone device must cost next to nothing.
constexpr std::chrono::milliseconds kReturnCheckPeriod{250};
// What was dropped, kept for UARTCE_TakeDropped: the latest lines, a scan's worth.
constexpr std::size_t kKeptDrops = 64;
// How long one scan answers questions about port names (not opens).
constexpr std::chrono::milliseconds kNameMapLifetime{250};

struct Port {
    std::unique_ptr<platform::Device> device; // null while hung up
    bool isOpen = false;
    bool hungUp = false;
    std::string name; // the device as it was opened, to open again when it returns
    bool local = true;
    platform::LineSettings settings{};
    Clock::time_point lastReturnCheck{};
    // Bytes that came after a reply's CR in the same read; served before new input.
    std::array<char, 512> pending{};
    std::size_t pendingSize = 0;
    // Replies that may still come for commands that got none (or for another program that had
    // the line before this open): until when, and from which module.
    LateReplies late;
    bool replyUnfinished = false; // the last collection ended before the reply's end
    uartce_drops drops{};
    std::deque<uartce_dropped> recentDrops;
    // From the end of the last write to the end of the reply that answered it, in µs.
    Clock::time_point writtenAt{};
    std::uint32_t lastRoundTripUs = 0;
    // What the last Send_Binary wrote, for the next UARTCE_Receive to know its echo.
    std::string echoExpected;
    std::optional<std::string> echoAddress;
    bool echoNamesModule = false; // its replies carry its address
    // The kernel RS-485 mode asked for the port, given again to a device that comes back, and
    // what the last setting of it said.
    std::optional<uartce_rs485> rs485;
    std::string rs485Text;
    // How many copies of each frame sent the line returns, as told (UARTCE_SetModbusEcho) or
    // seen before a Modbus reply that differs from its request; none while not known.
    std::optional<unsigned> modbusEchoCopies;
    // Exchanges in a row whose reply came with no copy ahead of it. One is not enough to learn
    // that the line returns none: a frame still on its way from before (a duplicate, a late
    // reply) can come ahead of the echo and fit the request, and a count too low takes a
    // write's echo for its reply. A count too high only loses replies, so copies are believed
    // at once.
    unsigned modbusNoCopyRuns = 0;
    // After an RTU broadcast, which no slave answers: when the line has been quiet long enough
    // for the slaves to have taken its frame as ended, so that the next frame is not joined to
    // it.
    Clock::time_point quietUntil{};

    bool open() const { return isOpen; }
};

std::array<Port, 256> ports;
std::array<std::string, 256> lastRefusals;
uartce_message_fn g_messageHandler = nullptr;
void* g_messageContext = nullptr;

PortMap currentMap() {
    PortMap map = buildPortMap(platform::scanPortMapInputs());
    // The map is rebuilt on every open and tooltip: say what is wrong with a line once.
    static std::set<std::string> reported;
    for (const std::string& warning : map.warnings)
        if (reported.insert(warning).second)
            report(0, 0, escapeForLine(warning));
    return map;
}

// The map for a burst of questions about names, such as the tooltips of a whole port list: one
// scan serves them while the environment that steers the scan stays as it was, for a moment.
// Opening always scans afresh.
const PortMap& mapForNames() {
    static PortMap map;
    static std::string key;
    static Clock::time_point scanned{};
    std::string now;
    for (const char* name :
         {"UARTCE_DEV_ROOT", "UARTCE_SYS_ROOT", "UARTCE_SYSCONF_DIR", "XDG_CONFIG_HOME", "HOME"}) {
        const char* value = std::getenv(name);
        now += value ? value : "";
        now += '\n';
    }
    for (unsigned n = 1; n <= kMaxCom; ++n) {
        const char* value = std::getenv(("UARTCE_COM" + std::to_string(n)).c_str());
        if (value && *value)
            now += std::to_string(n) + '=' + value + '\n';
    }
    if (now != key || Clock::now() - scanned > kNameMapLifetime) {
        map = currentMap();
        key = std::move(now);
        scanned = Clock::now();
    }
    return map;
}

std::string remedyFor(std::uint16_t status, const PortEntry& entry, const PortMap& map) {
    if (status != UARTCE_ERR_NO_DEVICE)
        return "";
    // Advice to map the port is no help while the map itself is not read.
    if (entry.source == PortSource::Default && !map.skippedConfigs.empty())
        return "; the port map was not read (" + map.skippedConfigs.front() + ")";
    const std::string com = "COM" + std::to_string(entry.com);
    switch (entry.source) {
    case PortSource::Env:
        return "; check " + entry.origin;
    case PortSource::MapFile:
        return "; check " + entry.origin;
    case PortSource::Discovered:
        return "; the adapter is not plugged in";
    case PortSource::BuiltIn:
        return "";
    case PortSource::Default:
        break;
    }
    return "; set UARTCE_" + com + " to the device to use, or map " + com + " in ports.conf";
}

// A refusal of COM<n>, or (byName) of a device opened by its name, which then says no COM.
void reportRefusal(const PortEntry& entry, std::uint16_t status, const std::string& reason,
                   const PortMap* map) {
    const std::string line =
        map ? "cannot open COM" + std::to_string(entry.com) + " (" + escapeForLine(entry.device) +
                  "): " + escapeForLine(reason) + escapeForLine(remedyFor(status, entry, *map))
            : "cannot open " + escapeForLine(entry.device) + ": " + escapeForLine(reason);
    if (entry.com < lastRefusals.size())
        lastRefusals[entry.com] = line;
    report(entry.com, status, line);
}

void markHungUp(Port& p) {
    p.hungUp = true;
    p.device.reset(); // lets the lock and the device node go at once
    p.lastReturnCheck = Clock::now();
}

// A hung-up local port opens its device again, with the same settings, once the device is back
// under the same name. True when the port has a live device.
bool live(Port& p) {
    if (!p.hungUp)
        return true;
    if (!p.local)
        return false;
    const Clock::time_point now = Clock::now();
    if (now - p.lastReturnCheck < kReturnCheckPeriod)
        return false;
    p.lastReturnCheck = now;
    if (!platform::localDeviceExists(p.name))
        return false;
    platform::OpenResult again = platform::openDevice(p.name, p.settings);
    if (again.status != UARTCE_OK)
        return false;
    p.device = std::move(again.device);
    p.hungUp = false;
    if (p.rs485)
        p.device->setRs485(*p.rs485);
    return true;
}

std::uint32_t copyOut(const std::string& text, char* out, std::uint32_t size) {
    if (out && size > 0) {
        const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return static_cast<std::uint32_t>(text.size());
}

// Moves up to capacity pending bytes into out.
std::size_t takePending(Port& p, char* out, std::size_t capacity) {
    const std::size_t n = p.pendingSize < capacity ? p.pendingSize : capacity;
    std::memcpy(out, p.pending.data(), n);
    std::memmove(p.pending.data(), p.pending.data() + n, p.pendingSize - n);
    p.pendingSize -= n;
    return n;
}

void keepPending(Port& p, const char* bytes, std::size_t count) {
    const std::size_t room = p.pending.size() - p.pendingSize;
    const std::size_t n = count < room ? count : room;
    std::memcpy(p.pending.data() + p.pendingSize, bytes, n);
    p.pendingSize += n;
}

std::uint32_t microsSince(Clock::time_point start) {
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
}

// A call that waits leaves the next one to wait afresh, however it ends. (An abandon asked just
// before it began its wait is its own, not lost.)
struct AbandonEnds {
    AbandonEnds() = default;
    AbandonEnds(const AbandonEnds&) = delete;
    AbandonEnds& operator=(const AbandonEnds&) = delete;
    ~AbandonEnds() { g_waitAbandoned = 0; }
};

// The bytes a call hands back, for its trace record.
std::string_view handedBack(const char* buffer, std::uint32_t length) {
    return buffer ? std::string_view(buffer, length) : std::string_view();
}

void setOut(std::uint32_t* out, std::size_t value) {
    if (out)
        *out = static_cast<std::uint32_t>(value);
}

std::uint16_t statusOf(Io io) {
    switch (io) {
    case Io::Ok:
        return UARTCE_OK;
    case Io::HungUp:
        return UARTCE_ERR_HANGUP;
    case Io::WouldBlock:
    case Io::Failed:
        break;
    }
    return UARTCE_ERR_WRITE;
}

// Counts and traces bytes that came but were no reply.
void recordDrops(Port& p, unsigned port, std::vector<DroppedBytes> dropped) {
    for (DroppedBytes& d : dropped) {
        switch (d.reason) {
        case DropReason::Echo:
            ++p.drops.echoes;
            break;
        case DropReason::GarbledEcho:
            ++p.drops.garbledEchoes;
            break;
        case DropReason::OtherAddress:
            ++p.drops.otherAddress;
            break;
        case DropReason::Late:
            ++p.drops.late;
            break;
        case DropReason::NotAReply:
            ++p.drops.notReplies;
            break;
        }
        uartce_dropped kept{};
        kept.reason = static_cast<std::uint16_t>(d.reason) + 1;
        kept.length = static_cast<std::uint32_t>(std::min(d.bytes.size(), sizeof kept.bytes - 1));
        std::memcpy(kept.bytes, d.bytes.data(), kept.length);
        if (p.recentDrops.size() == kKeptDrops)
            p.recentDrops.pop_front();
        p.recentDrops.push_back(kept);
        p.drops.lastReason = static_cast<std::uint16_t>(d.reason) + 1;
        const std::size_t n = std::min(d.bytes.size(), sizeof p.drops.lastBytes - 1);
        std::memcpy(p.drops.lastBytes, d.bytes.data(), n);
        p.drops.lastBytes[n] = '\0';
        p.drops.lastLength = static_cast<std::uint32_t>(n);
        trace::dropped(port, d.bytes, dropReasonText(d.reason));
    }
}

// What a reader did with the bytes it was handed: how many it used, and whether it has what
// it read for. Bytes it did not use are held for the next read.
struct Taken {
    std::size_t used;
    bool done;
};
enum class ReadEnd { Done, Expired, HungUp, Failed };

// Puts bytes back in front of what the port holds.
void holdAgain(Port& p, std::string_view bytes) {
    if (bytes.empty())
        return;
    std::string rest(bytes);
    rest.append(p.pending.data(), p.pendingSize);
    p.pendingSize = 0;
    keepPending(p, rest.data(), rest.size());
}

// The one loop that reads a port: the bytes it holds first, then the device's, handed to take
// until it is done, the deadline until() gives passes, or the device fails or goes away.
// until() is asked again before each read, so that a reader may move it. The deadline is looked
// at between reads as well as while waiting, so a device that never stops sending holds no call
// past it; the first read is always made, for bytes already there.
ReadEnd readUntil(Port& p, const std::function<Deadline()>& until,
                  const std::function<Taken(std::string_view)>& take) {
    std::array<char, 512> chunk;
    for (bool first = true;; first = false) {
        if (!first && until().expired())
            return ReadEnd::Expired;
        std::size_t got = takePending(p, chunk.data(), chunk.size());
        if (got == 0) {
            if (!p.device)
                return ReadEnd::HungUp;
            const Io io = p.device->readAvailable(chunk.data(), chunk.size(), got);
            if (io == Io::HungUp) {
                markHungUp(p);
                return ReadEnd::HungUp;
            }
            if (io == Io::Failed)
                return ReadEnd::Failed;
            if (io == Io::WouldBlock) {
                const Io waited = p.device->waitReadable(until());
                if (waited == Io::WouldBlock)
                    return ReadEnd::Expired;
                if (waited == Io::HungUp) {
                    markHungUp(p);
                    return ReadEnd::HungUp;
                }
                if (waited == Io::Failed)
                    return ReadEnd::Failed;
                continue;
            }
        }
        const std::string_view bytes(chunk.data(), got);
        const Taken t = take(bytes);
        if (t.done) {
            holdAgain(p, bytes.substr(t.used));
            return ReadEnd::Done;
        }
    }
}

// Collects a reply through the matcher into reply (zero-terminated), within the deadline,
// leaving aside the line's echo and other modules' answers; what the port holds comes first.
// With anyData, the first bytes of a reply end the wait (with what else is there by then)
// instead of its terminator.
std::uint16_t collectReply(Port& p, unsigned port, ReplyMatcher& matcher, char* reply,
                           const Deadline& deadline, std::size_t& length, bool anyData = false,
                           std::optional<std::chrono::milliseconds> firstByteSpan = std::nullopt) {
    // The reply's first byte has its own deadline, from the command, and again from each line
    // set aside meanwhile (a second echo, another module's answer): the reply waited behind it.
    std::optional<Deadline> firstByte;
    if (firstByteSpan)
        firstByte = Deadline::after(*firstByteSpan);
    std::size_t setAside = 0;
    const auto until = [&] {
        if (firstByte && matcher.linesSetAside() != setAside) {
            setAside = matcher.linesSetAside();
            firstByte = Deadline::after(*firstByteSpan);
        }
        return firstByte && !matcher.replyBegun() ? firstByte->sooner(deadline) : deadline;
    };
    bool garbledRest = false; // reading on past the rest of a garbled echo's line
    const auto take = [&](std::string_view bytes) -> Taken {
        if (garbledRest) {
            const std::size_t cr = bytes.find(kCR);
            return cr == std::string_view::npos ? Taken{bytes.size(), false} : Taken{cr + 1, true};
        }
        const std::size_t used = matcher.feed(bytes);
        switch (matcher.state()) {
        case ReplyMatcher::State::Collecting:
            return {used, anyData && matcher.replyBegun() && bytes.size() < 512};
        case ReplyMatcher::State::Done:
            return {used, true};
        case ReplyMatcher::State::GarbledEcho:
            // No reply is taken. The rest of the garbled line (the frame may still be going
            // out) is read up to its end, within the time-out; what came after it is left to
            // be read.
            if (matcher.garbledLineEnded())
                return {used, true};
            garbledRest = true;
            const std::size_t cr = bytes.find(kCR, used);
            return cr == std::string_view::npos ? Taken{bytes.size(), false} : Taken{cr + 1, true};
        }
        return {used, true};
    };
    const auto finish = [&](std::uint16_t status) {
        recordDrops(p, port, matcher.takeDropped());
        length = matcher.reply().size();
        std::memcpy(reply, matcher.reply().data(), length);
        reply[length] = '\0';
        return status;
    };
    p.replyUnfinished = false;
    const ReadEnd end = readUntil(p, until, take);
    if (matcher.state() == ReplyMatcher::State::GarbledEcho) {
        finish(UARTCE_ERR_GARBLED_ECHO);
        length = 0;
        reply[0] = '\0';
        return UARTCE_ERR_GARBLED_ECHO;
    }
    switch (end) {
    case ReadEnd::Done:
        return finish(matcher.overflow() ? UARTCE_ERR_REPLY_TOO_LONG : UARTCE_OK);
    case ReadEnd::HungUp:
        return finish(UARTCE_ERR_HANGUP);
    case ReadEnd::Failed:
        return finish(UARTCE_ERR_READ);
    case ReadEnd::Expired:
        break;
    }
    p.replyUnfinished = true; // the rest of it may still come
    if (matcher.overflow())
        return finish(UARTCE_ERR_REPLY_TOO_LONG);
    return finish(matcher.replyBegun() ? UARTCE_ERR_REPLY_CUT : UARTCE_ERR_NO_REPLY);
}

// What is owed is kept beyond the port, as it is now, when it is due.
void storeOwed(Port& p, bool now = false) {
    const Clock::time_point at = Clock::now();
    if (!p.late.storeDue(at, now))
        return;
    const std::vector<OwedReplies::Owed> left = p.late.outstanding(at);
    p.late.stored(platform::rememberOwedReplies(p.name, left), left.empty(), at);
}

// A program that ends, however it returns from main, leaves what its ports still owe.
struct StoreAtExit {
    ~StoreAtExit();
};

StoreAtExit::~StoreAtExit() {
    for (Port& p : ports)
        if (p.open() && p.late.dirty())
            storeOwed(p, true);
}

StoreAtExit storeAtExit;

// Before a command: while replies owed by earlier commands (or meant for whoever had a remote
// line before this open) may still come, and could be taken for this command's, listen for
// them and drop them. Each whole line settles one; the listen ends when none it could be taken
// for is owed any more, or their windows have passed. A reply under way when they pass is read
// to its end, for one time-out more.
void awaitOwedReply(Port& p, unsigned port, const std::optional<std::string>& address,
                    std::uint16_t timeoutMs) {
    const std::optional<Clock::time_point> first =
        p.late.listenFor(address, std::chrono::milliseconds(timeoutMs), Clock::now());
    if (!first)
        return;
    Clock::time_point limit = *first;
    std::string late; // every byte that came, dropped
    std::string line; // the line under way
    const auto take = [&](std::string_view bytes) -> Taken {
        bool settled = false;
        for (const char c : bytes) {
            if (c != kCR) {
                if (line.size() < kMaxReply)
                    line.push_back(c);
                continue;
            }
            settled = p.late.heard(line) || settled;
            line.clear();
        }
        late.append(bytes);
        if (!settled)
            return {bytes.size(), false};
        const std::optional<Clock::time_point> until = p.late.stillListen(address, Clock::now());
        if (until)
            limit = *until;
        return {bytes.size(), !until};
    };
    const auto until = [&] { return Deadline::at(limit); };
    // The bytes the port holds are this command's to judge, not the owed reply's.
    const std::size_t held = std::exchange(p.pendingSize, 0);
    std::array<char, 512> kept;
    std::memcpy(kept.data(), p.pending.data(), held);
    // A reply under way when the window passes is read to its end, for one time-out more.
    if (readUntil(p, until, take) == ReadEnd::Expired && !line.empty()) {
        limit = Clock::now() + std::chrono::milliseconds(timeoutMs);
        readUntil(p, until, [&](std::string_view bytes) {
            const bool ends = bytes.find(kCR) != std::string_view::npos;
            const Taken t = take(bytes);
            return Taken{t.used, t.done || ends};
        });
    }
    holdAgain(p, std::string_view(kept.data(), held));
    if (!late.empty())
        recordDrops(p, port, {{std::move(late), DropReason::Late}});
    storeOwed(p);
}

// After a command that did not get its whole reply, the rest of it, or all of it, may still
// come: owed until the failed command's time-out and then the port's window have passed since
// it went out, and written down too, so that a program that ends now leaves it to the next.
// address: the command's; namesModule: whether its replies always carry it.
void owedAfter(Port& p, std::uint16_t status, const std::optional<std::string>& address,
               bool namesModule, std::uint16_t timeoutMs) {
    if (p.late.after(status, address, namesModule, p.replyUnfinished, p.writtenAt,
                     std::chrono::milliseconds(timeoutMs)))
        storeOwed(p);
}

// Copies a struct into the caller's, no more of it than the caller's size field says it has
// (a program built when the struct was smaller), and keeps that size. False for a size that
// does not even hold the size field.
template <class T> bool copySized(T* out, T full) {
    if (!out || out->size < sizeof out->size)
        return false;
    full.size = out->size;
    std::memcpy(static_cast<void*>(out), &full, std::min<std::size_t>(out->size, sizeof full));
    return true;
}

Port* openPort(unsigned port) {
    if (port == 0 || port >= ports.size() || !ports[port].open())
        return nullptr;
    return &ports[port];
}
// Settings out of range, in words.
std::string unsupported(const platform::LineSettings& s) {
    char reason[160];
    std::snprintf(reason, sizeof reason,
                  "unsupported settings (baud %u, data bits %u, parity %u, stop bits %d, flow %u)",
                  static_cast<unsigned>(s.baud), static_cast<unsigned>(s.dataBits),
                  static_cast<unsigned>(s.parity), static_cast<int>(s.stopBits),
                  static_cast<unsigned>(s.flow));
    return reason;
}

// The caller's settings with those the port's map line gives in their place.
platform::LineSettings withMapSettings(const PortEntry& entry, platform::LineSettings s) {
    const LineOverrides& o = entry.line;
    s.baud = o.baud.value_or(s.baud);
    s.dataBits = o.dataBits.value_or(s.dataBits);
    s.parity = o.parity.value_or(s.parity);
    s.stopBits = o.stopBits.value_or(s.stopBits);
    s.flow = o.flow.value_or(s.flow);
    return s;
}

// The settings of a caller's struct, of which no more than its size is read; none for a null
// struct or one too small to hold them.
std::optional<platform::LineSettings> settingsOf(const uartce_line* line) {
    static_assert(sizeof(uartce_line) == 12, "the size uartce.h promises");
    if (!line || line->size < sizeof(uartce_line))
        return std::nullopt;
    uartce_line copy{};
    std::memcpy(static_cast<void*>(&copy), line, sizeof copy);
    return platform::LineSettings{copy.baud, copy.dataBits, copy.parity,
                                  static_cast<std::int8_t>(copy.stopBits > 2 ? 3 : copy.stopBits),
                                  copy.flow};
}

// Puts the open port's device in the RS-485 mode; the port keeps the mode (to set again after a
// hang-up) and what the driver changed, or the reason for a refusal.
Rs485Outcome applyRs485(Port& p, const uartce_rs485& mode) {
    Rs485Outcome outcome = p.device->setRs485(mode);
    if (outcome.status != UARTCE_OK) {
        p.rs485Text = outcome.reason;
        return outcome;
    }
    p.rs485 = mode;
    p.rs485Text = joinLines(outcome.changes);
    return outcome;
}

// Opens the entry's device as the port; map is null for a device opened by its name.
std::uint16_t openOn(unsigned port, const PortEntry& entry, const PortMap* map,
                     const platform::LineSettings& settings) {
    Port& p = ports[port];
    if (p.open()) {
        reportRefusal(entry, UARTCE_ERR_ALREADY_OPEN, "already open", map);
        return UARTCE_ERR_ALREADY_OPEN;
    }
    if (!platform::validSettings(settings)) {
        reportRefusal(entry, UARTCE_ERR_BAD_SETTINGS, unsupported(settings), map);
        return UARTCE_ERR_BAD_SETTINGS;
    }
    // The lock would refuse a second open from this very process too, but as another program's.
    for (unsigned other = 1; other < ports.size(); ++other) {
        if (other != port && ports[other].open() &&
            platform::sameDevice(ports[other].name, entry.device)) {
            const std::string reason =
                "this program already has it open as COM" + std::to_string(other);
            reportRefusal(entry, UARTCE_ERR_BUSY, reason, map);
            return UARTCE_ERR_BUSY;
        }
    }
    platform::OpenResult opened = platform::openDevice(entry.device, settings);
    if (opened.status != UARTCE_OK) {
        reportRefusal(entry, opened.status, opened.reason, map);
        return opened.status;
    }
    p = Port{};
    p.device = std::move(opened.device);
    p.isOpen = true;
    p.name = entry.device;
    p.local = parseRemoteName(entry.device).kind == RemoteName::Kind::None;
    p.settings = settings;
    if (entry.line.rs485) {
        std::string unused; // the list was checked when the map was read
        const uartce_rs485 mode =
            portula::parseRs485(*entry.line.rs485, unused).value_or(portula::defaultRs485());
        const Rs485Outcome outcome = applyRs485(p, mode);
        if (outcome.status != UARTCE_OK) {
            p = Port{}; // the device goes, with the modes it was found in
            reportRefusal(entry, outcome.status,
                          "its map line's RS-485 mode cannot be set: " + outcome.reason, map);
            return outcome.status;
        }
    }
    // What a module still had to say to a client that had a serial server before this one is
    // nobody's (a local line is this program's alone while it is open, and emptied at open);
    // nor are replies owed when the device was last closed, by this program or another.
    p.late.opened(!p.local, Clock::now(), platform::recallOwedReplies(entry.device));
    storeOwed(p);
    lastRefusals[port].clear();
    return UARTCE_OK;
}

} // namespace

namespace {
std::uint16_t commandExchange(std::uint8_t port, const char* command, char* reply,
                              std::uint16_t firstByteMs, std::uint16_t timeoutMs,
                              std::uint16_t checksum, std::uint32_t* out);
std::uint16_t openByName(const char* device, const platform::LineSettings& settings,
                         std::uint8_t* port);
std::uint16_t modbusExchange(std::uint8_t port, std::uint8_t mode, const std::uint8_t* request,
                             std::uint32_t length, std::uint8_t* reply, std::uint32_t capacity,
                             std::uint32_t* replyLength, std::uint16_t timeoutMs,
                             std::uint8_t* exceptionCode);
} // namespace

namespace uartce {
void report(unsigned port, std::uint16_t status, const std::string& text) {
    if (g_messageHandler)
        g_messageHandler(g_messageContext, static_cast<std::uint8_t>(port), status, text.c_str());
    else
        std::fprintf(stderr, "UARTCE: %s\n", text.c_str());
}
} // namespace uartce

extern "C" {

uint16_t Open_Com(uint8_t port, uint32_t baudRate, uint8_t dataBits, uint8_t parity,
                  int8_t stopBits) {
    if (trace::active())
        return trace::call("Open_Com", port, [&] {
            return trace::Outcome{Open_Com(port, baudRate, dataBits, parity, stopBits)};
        });
    if (port == 0) {
        report(0, UARTCE_ERR_BAD_PORT, "cannot open COM0: there is no port 0");
        return UARTCE_ERR_BAD_PORT;
    }
    const PortMap map = currentMap();
    const PortEntry entry = map.entryFor(port);
    return openOn(port, entry, &map,
                  withMapSettings(entry, {baudRate, dataBits, parity, stopBits}));
}

uint16_t Close_Com(uint8_t port) {
    if (trace::active())
        return trace::call("Close_Com", port, [&] { return trace::Outcome{Close_Com(port)}; });
    if (port == 0 || !ports[port].open())
        return UARTCE_ERR_NOT_OPEN;
    if (ports[port].late.dirty())
        storeOwed(ports[port], true);
    ports[port] = Port{};
    return UARTCE_OK;
}

uint16_t Send_Binary(uint8_t port, const char* data, uint32_t count) {
    if (trace::active())
        return trace::call("Send_Binary", port,
                           [&] { return trace::Outcome{Send_Binary(port, data, count)}; });
    Port* p = openPort(port);
    if (!p)
        return UARTCE_ERR_NOT_OPEN;
    if (count == 0)
        return UARTCE_OK;
    if (!data)
        return UARTCE_ERR_BAD_ARGUMENT;
    if (!live(*p))
        return UARTCE_ERR_HANGUP;
    // A reply still owed to an earlier UARTCE_Receive is not this one's.
    const std::string_view bytes(data, count);
    const std::optional<std::string> address = commandAddress(bytes);
    if (p->late.openDebtTaken())
        awaitOwedReply(*p, port, address, 0);
    if (!p->device) // it went away while the listen read
        return UARTCE_ERR_HANGUP;
    std::size_t written = 0;
    const Io io = p->device->writeAll(data, count, kWriteStallLimit, written);
    trace::wentOut(std::string_view(data, written));
    p->writtenAt = Clock::now();
    if (io == Io::HungUp)
        markHungUp(*p);
    // What a collected reply may begin with on an echoing line.
    p->echoExpected.assign(bytes.substr(0, written));
    p->echoAddress = address;
    p->echoNamesModule = replyNamesModule(bytes);
    return statusOf(io);
}

uint16_t Send_Receive_Cmd(uint8_t port, const char* command, char* reply, uint16_t timeoutMs,
                          uint16_t checksum, uint32_t* out) {
    if (trace::active())
        return trace::call("Send_Receive_Cmd", port, [&] {
            std::uint32_t length = 0;
            const std::uint16_t status =
                Send_Receive_Cmd(port, command, reply, timeoutMs, checksum, &length);
            setOut(out, length);
            return trace::Outcome{status, handedBack(reply, length)};
        });
    return commandExchange(port, command, reply, timeoutMs, timeoutMs, checksum, out);
}

uint16_t UARTCE_Command(uint8_t port, const char* command, char* reply, uint16_t firstByteMs,
                        uint16_t timeoutMs, uint16_t checksum, uint32_t* out) {
    if (trace::active())
        return trace::call("UARTCE_Command", port, [&] {
            std::uint32_t length = 0;
            const std::uint16_t status =
                UARTCE_Command(port, command, reply, firstByteMs, timeoutMs, checksum, &length);
            setOut(out, length);
            return trace::Outcome{status, handedBack(reply, length)};
        });
    return commandExchange(port, command, reply, std::min(firstByteMs, timeoutMs), timeoutMs,
                           checksum, out);
}

} // extern "C"

namespace {
std::uint16_t commandExchange(std::uint8_t port, const char* command, char* reply,
                              std::uint16_t firstByteMs, std::uint16_t timeoutMs,
                              std::uint16_t checksum, std::uint32_t* out) {
    const AbandonEnds abandonEnds;
    setOut(out, 0);
    if (!reply)
        return UARTCE_ERR_BAD_ARGUMENT;
    reply[0] = '\0';
    Port* p = openPort(port);
    if (!p)
        return UARTCE_ERR_NOT_OPEN;
    if (!command)
        return UARTCE_ERR_BAD_ARGUMENT;
    const std::size_t commandLength = strnlen(command, kMaxCommand + 1);
    if (commandLength > kMaxCommand)
        return UARTCE_ERR_BAD_ARGUMENT;
    if (!live(*p))
        return UARTCE_ERR_HANGUP;

    const std::optional<std::string> address =
        commandAddress(std::string_view(command, commandLength));
    awaitOwedReply(*p, port, address, timeoutMs);
    if (!p->device) // it went away while the listen read
        return UARTCE_ERR_HANGUP;
    // The time-out runs from here: dropping what waits (which on a serial server means asking
    // it and waiting for its word) is part of it.
    const Deadline deadline = Deadline::after(std::chrono::milliseconds(timeoutMs));
    // A line that arrived before the command is not its reply.
    p->device->discardInput(deadline);
    p->pendingSize = 0;
    p->echoExpected.clear();
    p->echoAddress = address;
    p->echoNamesModule = replyNamesModule(std::string_view(command, commandLength));

    std::array<char, kMaxCommand + 3> frame;
    const std::size_t frameLength =
        frameCommand(std::string_view(command, commandLength), checksum != 0, frame);
    std::size_t wentOut = 0;
    const Io written = p->device->writeAll(frame.data(), frameLength, kWriteStallLimit, wentOut);
    trace::wentOut(std::string_view(frame.data(), wentOut));
    p->writtenAt = Clock::now();
    if (written != Io::Ok) {
        if (written == Io::HungUp)
            markHungUp(*p);
        return statusOf(written);
    }

    std::size_t length = 0;
    ReplyMatcher matcher(std::string_view(frame.data(), frameLength), address, kMaxReply);
    const std::uint16_t status = collectReply(*p, port, matcher, reply, deadline, length, false,
                                              std::chrono::milliseconds(firstByteMs));
    p->lastRoundTripUs = microsSince(p->writtenAt);
    owedAfter(*p, status, address, replyNamesModule(std::string_view(command, commandLength)),
              timeoutMs);
    if (status != UARTCE_OK) {
        setOut(out, length);
        return status;
    }
    if (checksum != 0) {
        std::size_t payload = 0;
        if (!verifyReplyChecksum(std::string_view(reply, length), payload)) {
            setOut(out, length);
            return UARTCE_ERR_CHECKSUM;
        }
        length = payload;
        reply[length] = '\0';
    }
    setOut(out, length);
    return UARTCE_OK;
}
} // namespace

extern "C" {

uint16_t Receive_Cmd(uint8_t port, char* buffer, uint16_t timeoutMs, uint16_t checksum,
                     uint32_t* out) {
    if (trace::active())
        return trace::call("Receive_Cmd", port, [&] {
            std::uint32_t length = 0;
            const std::uint16_t status = Receive_Cmd(port, buffer, timeoutMs, checksum, &length);
            setOut(out, length);
            // An idle poll is not an event on the line.
            return trace::Outcome{status, handedBack(buffer, length),
                                  status != UARTCE_OK || length > 0};
        });
    setOut(out, 0);
    if (!buffer)
        return UARTCE_ERR_BAD_ARGUMENT;
    buffer[0] = '\0';
    Port* p = openPort(port);
    if (!p)
        return UARTCE_ERR_NOT_OPEN;
    // What the library holds goes out before a hang-up is reported.
    std::size_t length = takePending(*p, buffer, kMaxChunk);
    std::uint16_t status = UARTCE_OK;
    if (!live(*p)) {
        status = length == 0 ? UARTCE_ERR_HANGUP : UARTCE_OK;
    } else {
        while (length < kMaxChunk) {
            std::size_t got = 0;
            const Io io = p->device->readAvailable(buffer + length, kMaxChunk - length, got);
            if (io == Io::Ok) {
                length += got;
                continue;
            }
            if (io == Io::HungUp) {
                markHungUp(*p);
                status = length == 0 ? UARTCE_ERR_HANGUP : UARTCE_OK;
            } else if (io == Io::Failed) {
                status = length == 0 ? UARTCE_ERR_READ : UARTCE_OK;
            }
            break;
        }
    }
    buffer[length] = '\0';
    setOut(out, length);
    return status;
}

uint32_t DataSizeInCom(uint16_t port) {
    if (port == 0 || port >= ports.size())
        return 0;
    Port& p = ports[port];
    if (!p.open())
        return 0;
    const auto held = static_cast<std::uint32_t>(p.pendingSize);
    if (!live(p))
        return held;
    std::uint32_t waiting = 0;
    const Io io = p.device->bytesWaiting(waiting);
    if (io == Io::HungUp) {
        markHungUp(p);
        return held;
    }
    return io == Io::Ok ? waiting + held : held;
}

uint32_t UARTCE_PortDevice(uint8_t port, char* out, uint32_t size) {
    if (port == 0)
        return 0;
    return copyOut(mapForNames().entryFor(port).device, out, size);
}

uint32_t UARTCE_PortInfo(uint8_t port, char* out, uint32_t size) {
    if (port == 0)
        return 0;
    return copyOut(describeEntry(mapForNames().entryFor(port)), out, size);
}

uint16_t UARTCE_Receive(uint8_t port, char* buffer, uint32_t capacity, uint16_t timeoutMs,
                        int16_t terminator, uint32_t* out) {
    if (trace::active())
        return trace::call("UARTCE_Receive", port, [&] {
            std::uint32_t length = 0;
            const std::uint16_t status =
                UARTCE_Receive(port, buffer, capacity, timeoutMs, terminator, &length);
            setOut(out, length);
            return trace::Outcome{status, handedBack(buffer, length)};
        });
    const AbandonEnds abandonEnds;
    setOut(out, 0);
    if (!buffer || capacity == 0)
        return UARTCE_ERR_BAD_ARGUMENT;
    buffer[0] = '\0';
    Port* p = openPort(port);
    if (!p)
        return UARTCE_ERR_NOT_OPEN;
    if (terminator > 255)
        return UARTCE_ERR_BAD_ARGUMENT;
    const Deadline deadline = Deadline::after(std::chrono::milliseconds(timeoutMs));
    ReplyMatcher matcher(p->echoExpected, p->echoAddress, capacity - 1, terminator);
    p->echoExpected.clear();
    // What the library holds comes first; a hung-up port delivers it before saying so.
    std::size_t length = 0;
    const bool back = live(*p);
    const std::uint16_t status =
        !back && p->pendingSize == 0
            ? static_cast<std::uint16_t>(UARTCE_ERR_HANGUP)
            : collectReply(*p, port, matcher, buffer, deadline, length, terminator < 0);
    owedAfter(*p, status, p->echoAddress, p->echoNamesModule, timeoutMs);
    p->lastRoundTripUs = microsSince(p->writtenAt);
    setOut(out, length);
    return status;
}

void UARTCE_SetMessageHandler(uartce_message_fn handler, void* context) {
    g_messageHandler = handler;
    g_messageContext = context;
}

uint16_t UARTCE_OpenDevice(const char* device, uint32_t baudRate, uint8_t dataBits, uint8_t parity,
                           int8_t stopBits, uint8_t* port) {
    if (!device || !*device || !port)
        return UARTCE_ERR_BAD_ARGUMENT;
    return openByName(device, {baudRate, dataBits, parity, stopBits}, port);
}

uint16_t UARTCE_OpenLine(const char* device, const struct uartce_line* line, uint8_t* port) {
    const std::optional<platform::LineSettings> settings = settingsOf(line);
    if (!settings || !port)
        return UARTCE_ERR_BAD_ARGUMENT;
    if (device && *device)
        return openByName(device, *settings, port);
    const std::uint8_t com = *port;
    if (trace::active())
        return trace::call("UARTCE_OpenLine", com,
                           [&] { return trace::Outcome{UARTCE_OpenLine(nullptr, line, port)}; });
    if (com == 0) {
        report(0, UARTCE_ERR_BAD_PORT, "cannot open COM0: there is no port 0");
        return UARTCE_ERR_BAD_PORT;
    }
    const PortMap map = currentMap();
    const PortEntry entry = map.entryFor(com);
    return openOn(com, entry, &map, withMapSettings(entry, *settings));
}

uint16_t UARTCE_SetLine(uint8_t port, const struct uartce_line* line) {
    if (trace::active())
        return trace::call("UARTCE_SetLine", port,
                           [&] { return trace::Outcome{UARTCE_SetLine(port, line)}; });
    const std::optional<platform::LineSettings> settings = settingsOf(line);
    if (!settings)
        return UARTCE_ERR_BAD_ARGUMENT;
    Port* p = openPort(port);
    if (!p)
        return UARTCE_ERR_NOT_OPEN;
    if (!live(*p))
        return UARTCE_ERR_HANGUP;
    const auto refused = [&](std::uint16_t status, const std::string& reason) {
        const std::string text =
            "cannot change the line of " + escapeForLine(p->name) + ": " + escapeForLine(reason);
        lastRefusals[port] = text;
        report(port, status, text);
        return status;
    };
    if (!platform::validSettings(*settings))
        return refused(UARTCE_ERR_BAD_SETTINGS, unsupported(*settings));
    const auto [status, reason] = p->device->setLine(*settings);
    if (status != UARTCE_OK)
        return refused(status, reason);
    // A device that comes back after a hang-up is opened with these.
    p->settings = *settings;
    lastRefusals[port].clear();
    return UARTCE_OK;
}

} // extern "C"

namespace {
// UARTCE_OpenDevice and UARTCE_OpenLine with a name: the highest port number that is not open.
std::uint16_t openByName(const char* device, const platform::LineSettings& settings,
                         std::uint8_t* port) {
    // The highest number not open: COM<n> by number stays as it is for everyone else.
    unsigned chosen = 0;
    for (unsigned n = ports.size() - 1; n >= 1 && chosen == 0; --n)
        if (!ports[n].open())
            chosen = n;
    *port = static_cast<std::uint8_t>(chosen);
    PortEntry entry;
    entry.com = chosen;
    entry.device = device;
    if (chosen == 0) {
        report(0, UARTCE_ERR_BUSY, "cannot open " + escapeForLine(device) + ": every port is open");
        return UARTCE_ERR_BUSY;
    }
    if (trace::active())
        return trace::call("UARTCE_OpenDevice", chosen, [&] {
            return trace::Outcome{openOn(chosen, entry, nullptr, settings), entry.device};
        });
    return openOn(chosen, entry, nullptr, settings);
}
} // namespace

extern "C" {

uint16_t UARTCE_PortMapEntry(uint8_t com, struct uartce_port_info* info) {
    uartce_port_info full{};
    if (!copySized(info, full))
        return UARTCE_ERR_BAD_ARGUMENT;
    if (com == 0)
        return UARTCE_ERR_BAD_PORT;
    const PortMap& map = mapForNames();
    const PortEntry e = map.entryFor(com);
    full.com = com;
    full.assigned = map.assigned.count(com) != 0;
    full.present = e.present;
    copyOut(e.device, full.device, sizeof full.device);
    copyOut(e.byIdName, full.byIdName, sizeof full.byIdName);
    copyOut(e.target, full.target, sizeof full.target);
    copyOut(sourceText(e), full.source, sizeof full.source);
    copySized(info, full);
    return UARTCE_OK;
}

uint32_t UARTCE_LastRoundTrip(uint8_t port) {
    const Port* p = openPort(port);
    return p ? p->lastRoundTripUs : 0;
}

uint32_t UARTCE_LineLatency(uint8_t port) {
    Port* p = openPort(port);
    if (!p || !live(*p))
        return 0;
    return p->device->latencyMs();
}

uint16_t UARTCE_Drops(uint8_t port, struct uartce_drops* drops) {
    if (!drops || drops->size < sizeof drops->size)
        return UARTCE_ERR_BAD_ARGUMENT;
    const Port* p = openPort(port);
    if (!p)
        return UARTCE_ERR_NOT_OPEN;
    copySized(drops, p->drops);
    return UARTCE_OK;
}

uint32_t UARTCE_Version(void) {
    return UARTCE_VERSION;
}

const char* UARTCE_StatusText(uint16_t status) {
    return portula::statusText(status);
}

uint16_t UARTCE_SetTrace(const char* path) {
    return trace::setFile(path) ? UARTCE_OK : UARTCE_ERR_OPEN_FAILED;
}

uint32_t UARTCE_LastError(uint8_t port, char* out, uint32_t size) {
    return copyOut(lastRefusals[port], out, size);
}

} // extern "C"

extern "C" {

uint16_t UARTCE_SetLateWindow(uint8_t port, uint16_t windowMs) {
    Port* p = openPort(port);
    if (!p)
        return UARTCE_ERR_NOT_OPEN;
    p->late.setWindow(std::chrono::milliseconds(windowMs));
    return UARTCE_OK;
}

void UARTCE_Abandon(void) {
    g_waitAbandoned = 1;
}

int32_t UARTCE_WaitHandle(uint8_t port) {
    Port* p = openPort(port);
    if (!p || p->hungUp || !p->device)
        return -1;
    return p->device->waitHandle();
}

uint32_t UARTCE_TakeDropped(uint8_t port, struct uartce_dropped* out, uint32_t max) {
    Port* p = openPort(port);
    if (!p || !out || out->size < sizeof out->size)
        return 0;
    // The caller's array steps by the size it was built with.
    const std::uint32_t stride = out->size;
    auto* at = reinterpret_cast<unsigned char*>(out);
    uint32_t n = 0;
    for (; n < max && !p->recentDrops.empty(); ++n) {
        auto* piece = reinterpret_cast<uartce_dropped*>(at + std::size_t{n} * stride);
        piece->size = stride;
        copySized(piece, p->recentDrops.front());
        p->recentDrops.pop_front();
    }
    return n;
}

uint16_t UARTCE_SetRs485(uint8_t port, const struct uartce_rs485* asked,
                         struct uartce_rs485* kept) {
    if (trace::active())
        return trace::call("UARTCE_SetRs485", port,
                           [&] { return trace::Outcome{UARTCE_SetRs485(port, asked, kept)}; });
    Port* p = openPort(port);
    if (!p)
        return UARTCE_ERR_NOT_OPEN;
    if (!asked || asked->size < sizeof asked->size)
        return UARTCE_ERR_BAD_ARGUMENT;
    if (!live(*p))
        return UARTCE_ERR_HANGUP;
    const Rs485Outcome outcome = applyRs485(*p, normalizedRs485(asked));
    if (outcome.status != UARTCE_OK) {
        report(port, outcome.status,
               "cannot set the RS-485 mode of " + escapeForLine(p->name) + ": " +
                   escapeForLine(outcome.reason));
        return outcome.status;
    }
    if (kept && kept->size >= sizeof kept->size)
        copySized(kept, outcome.kept);
    return UARTCE_OK;
}

uint32_t UARTCE_Rs485Changes(uint8_t port, char* out, uint32_t size) {
    const Port* p = openPort(port);
    return copyOut(p ? p->rs485Text : std::string(), out, size);
}

} // extern "C"

namespace {

// After a broadcast, how long the line is left to the slaves before the next request: the
// serial line's usual turnaround, 100 to 200 ms, at its short end.
constexpr std::chrono::milliseconds kBroadcastTurnaround{100};

// The bits a character takes on the port's line.
unsigned characterBits(const Port& p) {
    const platform::LineSettings& s = p.settings;
    return portula::bitsPerCharacter(s.dataBits, s.parity, static_cast<unsigned>(s.stopBits));
}

// The quiet time that ends an RTU frame on the port: 3.5 characters at its rate and framing,
// and what the way to the line may hold a frame's bytes back beyond that (a USB adapter's
// latency timer, a network's round trip).
std::chrono::microseconds rtuSilenceOf(const Port& p) {
    return rtuSilence(p.settings.baud, characterBits(p)) +
           std::chrono::milliseconds(p.device ? p.device->latencyMs() : 0);
}

// Reads frames through the matcher until it has settled the reply, the deadline passes, or the
// device fails: an RTU frame under way ends by its length, or with the line's silence where the
// matcher says silence ends it.
// (A scripted device's wait ends at once when nothing more is to come: that is the silence
// while a frame is under way, the time-out otherwise.)
std::uint16_t collectModbus(Port& p, unsigned port, ModbusMatcher& matcher, ModbusMode mode,
                            Clock::time_point deadlineAt) {
    const std::chrono::microseconds silence = rtuSilenceOf(p);
    Clock::time_point lastByte = Clock::now();
    bool silenceFirst = false; // the wait under way ends at the silence, before the deadline
    const auto until = [&] {
        silenceFirst = mode == ModbusMode::Rtu && matcher.silenceEndsFrame() &&
                       lastByte + silence < deadlineAt;
        return Deadline::at(silenceFirst ? lastByte + silence : deadlineAt);
    };
    const auto take = [&](std::string_view bytes) -> Taken {
        lastByte = Clock::now();
        const std::size_t used = matcher.feed(bytes);
        return {used, matcher.state() != ModbusMatcher::State::Collecting};
    };
    p.replyUnfinished = false;
    std::uint16_t status = UARTCE_OK;
    for (bool settled = false; !settled;) {
        switch (readUntil(p, until, take)) {
        case ReadEnd::Done:
            settled = true;
            break;
        case ReadEnd::HungUp:
            status = UARTCE_ERR_HANGUP;
            settled = true;
            break;
        case ReadEnd::Failed:
            status = UARTCE_ERR_READ;
            settled = true;
            break;
        case ReadEnd::Expired:
            if (silenceFirst && !g_waitAbandoned) {
                matcher.silence();
                settled = matcher.state() != ModbusMatcher::State::Collecting;
                break;
            }
            settled = true;
            if (!g_waitAbandoned && matcher.repeatHeld()) {
                status = UARTCE_ERR_ECHO_UNKNOWN;
                break;
            }
            p.replyUnfinished = matcher.replyBegun();
            status = matcher.replyBegun() ? UARTCE_ERR_REPLY_CUT : UARTCE_ERR_NO_REPLY;
            break;
        }
    }
    recordDrops(p, port, matcher.takeDropped());
    if (status != UARTCE_OK)
        return status;
    switch (matcher.state()) {
    case ModbusMatcher::State::Done:
        return matcher.exception() ? UARTCE_ERR_EXCEPTION : UARTCE_OK;
    case ModbusMatcher::State::BadCheck:
        return UARTCE_ERR_CHECKSUM;
    case ModbusMatcher::State::GarbledEcho:
        return UARTCE_ERR_GARBLED_ECHO;
    case ModbusMatcher::State::TooLong:
    case ModbusMatcher::State::Collecting:
        break;
    }
    return UARTCE_ERR_REPLY_TOO_LONG;
}

// Before a Modbus request: while replies owed by earlier requests (or text commands) may still
// come and could be taken for this one's, listen for them and drop them, as awaitOwedReply does
// for lines: each whole frame settles one, by its slave and function where it passes its check.
void awaitOwedFrames(Port& p, unsigned port, ModbusMode mode, const std::string& key,
                     std::uint16_t timeoutMs) {
    const std::optional<Clock::time_point> first =
        p.late.listenFor(key, std::chrono::milliseconds(timeoutMs), Clock::now());
    if (!first)
        return;
    Clock::time_point limit = *first;
    ModbusMatcher frames(mode);
    std::string late;
    const std::chrono::microseconds silence = rtuSilenceOf(p);
    Clock::time_point lastByte = Clock::now();
    bool silenceFirst = false;
    bool listening = true;
    // Settles what the frames that ended owe; false once nothing is left to listen for.
    const auto settle = [&] {
        bool settled = false;
        for (const std::string& frame : frames.takeFrames())
            settled = p.late.heardFrom(modbusFrameKey(mode, frame)) || settled;
        if (!settled)
            return true;
        const std::optional<Clock::time_point> until = p.late.stillListen(key, Clock::now());
        if (until)
            limit = *until;
        return until.has_value();
    };
    const auto until = [&] {
        silenceFirst =
            mode == ModbusMode::Rtu && frames.frameUnderWay() && lastByte + silence < limit;
        return Deadline::at(silenceFirst ? lastByte + silence : limit);
    };
    const auto take = [&](std::string_view bytes) -> Taken {
        lastByte = Clock::now();
        late.append(bytes);
        frames.feed(bytes);
        listening = settle();
        return {bytes.size(), !listening};
    };
    const std::size_t held = std::exchange(p.pendingSize, 0);
    std::array<char, 512> kept;
    std::memcpy(kept.data(), p.pending.data(), held);
    while (listening && readUntil(p, until, take) == ReadEnd::Expired && silenceFirst &&
           !g_waitAbandoned) {
        frames.silence();
        listening = settle();
    }
    holdAgain(p, std::string_view(kept.data(), held));
    if (!late.empty())
        recordDrops(p, port, {{std::move(late), DropReason::Late}});
    storeOwed(p);
}

std::uint16_t modbusExchange(std::uint8_t port, std::uint8_t mode, const std::uint8_t* request,
                             std::uint32_t length, std::uint8_t* reply, std::uint32_t capacity,
                             std::uint32_t* replyLength, std::uint16_t timeoutMs,
                             std::uint8_t* exceptionCode) {
    const AbandonEnds abandonEnds;
    setOut(replyLength, 0);
    if (exceptionCode)
        *exceptionCode = 0;
    constexpr std::uint32_t kMostRequest = kRtuMaxFrame - 3;
    if (!request || length < 2 || length > kMostRequest || mode > UARTCE_MODBUS_ASCII ||
        !portula::isRequestFunction(request[1]))
        return UARTCE_ERR_BAD_ARGUMENT;
    const std::uint8_t slave = request[0];
    if (slave != 0 && !reply)
        return UARTCE_ERR_BAD_ARGUMENT;
    Port* p = openPort(port);
    if (!p)
        return UARTCE_ERR_NOT_OPEN;
    if (!live(*p))
        return UARTCE_ERR_HANGUP;
    const ModbusMode frameMode = mode == UARTCE_MODBUS_RTU ? ModbusMode::Rtu : ModbusMode::Ascii;
    const std::string_view bytes(reinterpret_cast<const char*>(request), length);
    const std::string key = modbusOwedKey(slave, request[1]);

    std::this_thread::sleep_until(p->quietUntil);
    awaitOwedFrames(*p, port, frameMode, key, timeoutMs);
    if (!p->device) // it went away while the listen read
        return UARTCE_ERR_HANGUP;
    const Clock::time_point deadlineAt = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const Deadline deadline = Deadline::at(deadlineAt);
    // A frame that came before the request is not its reply.
    p->device->discardInput(deadline);
    p->pendingSize = 0;
    p->echoExpected.clear();

    const std::string frame = modbusFrame(frameMode, bytes);
    std::size_t wentOut = 0;
    const Io written = p->device->writeAll(frame.data(), frame.size(), kWriteStallLimit, wentOut);
    trace::wentOut(std::string_view(frame.data(), wentOut));
    p->writtenAt = Clock::now();
    p->lastRoundTripUs = 0;
    if (written != Io::Ok) {
        if (written == Io::HungUp)
            markHungUp(*p);
        return statusOf(written);
    }
    if (slave == 0) { // a broadcast: no slave answers it
        // The write may return before the frame is on the wire: its bytes' time, then the
        // turnaround in which every slave carries the broadcast out and can hear again. It
        // also covers the silence that ends an RTU frame and the way's latency, by which the
        // line's echo of it has come back for the next request's discard of waiting input.
        const std::uint32_t baud = p->settings.baud;
        const std::uint64_t wireUs =
            baud != 0 ? (frame.size() * characterBits(*p) * 1000000ull + baud - 1) / baud : 0;
        const std::chrono::microseconds after =
            std::max<std::chrono::microseconds>(kBroadcastTurnaround, rtuSilenceOf(*p));
        p->quietUntil = p->writtenAt + std::chrono::microseconds(wireUs) + after;
        return UARTCE_OK;
    }

    ModbusMatcher matcher(frameMode, frame, p->modbusEchoCopies, capacity);
    const std::uint16_t status = collectModbus(*p, port, matcher, frameMode, deadlineAt);
    p->lastRoundTripUs = microsSince(p->writtenAt);
    if (const std::optional<unsigned> copies = matcher.echoCopiesSeen()) {
        p->modbusNoCopyRuns = *copies == 0 ? p->modbusNoCopyRuns + 1 : 0;
        if (*copies > 0 || p->modbusNoCopyRuns >= 2)
            p->modbusEchoCopies = *copies;
    }
    // A late reply names its slave and function; the rest of a cut one or a garbled echo's
    // request's answer could be anyone's.
    owedAfter(*p, status, key, true, timeoutMs);
    const std::string& got = matcher.reply();
    const std::size_t n = std::min<std::size_t>(got.size(), capacity);
    if (n > 0)
        std::memcpy(reply, got.data(), n);
    if (status == UARTCE_OK || status == UARTCE_ERR_EXCEPTION || status == UARTCE_ERR_CHECKSUM)
        setOut(replyLength, n);
    if (status == UARTCE_ERR_EXCEPTION && exceptionCode)
        *exceptionCode = static_cast<std::uint8_t>(got[2]);
    return status;
}

} // namespace

extern "C" {

uint16_t UARTCE_ModbusExchange(uint8_t port, uint8_t mode, const uint8_t* request, uint32_t length,
                               uint8_t* reply, uint32_t capacity, uint32_t* replyLength,
                               uint16_t timeoutMs, uint8_t* exceptionCode) {
    if (trace::active())
        return trace::call("UARTCE_ModbusExchange", port, [&] {
            std::uint32_t got = 0;
            const std::uint16_t status = UARTCE_ModbusExchange(
                port, mode, request, length, reply, capacity, &got, timeoutMs, exceptionCode);
            setOut(replyLength, got);
            return trace::Outcome{
                status, std::string_view(reinterpret_cast<const char*>(reply), reply ? got : 0)};
        });
    return modbusExchange(port, mode, request, length, reply, capacity, replyLength, timeoutMs,
                          exceptionCode);
}

uint16_t UARTCE_SetModbusEcho(uint8_t port, int32_t copies) {
    if (copies < -1 || copies > 2)
        return UARTCE_ERR_BAD_ARGUMENT;
    Port* p = openPort(port);
    if (!p)
        return UARTCE_ERR_NOT_OPEN;
    p->modbusEchoCopies =
        copies < 0 ? std::nullopt : std::optional<unsigned>(static_cast<unsigned>(copies));
    p->modbusNoCopyRuns = 0;
    return UARTCE_OK;
}

const char* UARTCE_ModbusExceptionText(uint8_t code) {
    static const std::array<std::string, 256> texts = [] {
        std::array<std::string, 256> all;
        for (unsigned c = 0; c < all.size(); ++c)
            all[c] = modbusExceptionText(c);
        return all;
    }();
    return texts[code].c_str();
}

} // extern "C"
