// A scan moves the open 16550 from line to line in place (UARTCE_SetLine). QEMU's model of the
// UART traces every value the 8250 driver writes to its modem-control register: in place, DTR
// and RTS stay up and the lock stays held from one line to the next, where closing the port and
// opening it again lets go of the lock, and a close that hangs up drops the modem lines.

#include "GuestRig.h"
#include "RigDevices.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <uartce.h>
#include <unistd.h>

namespace {

constexpr std::uint8_t kCom = 2; // the 16550, rig::kUartNode
constexpr unsigned kDtr = 0x01;  // modem-control register bits
constexpr unsigned kRts = 0x02;

bool linesUp(unsigned mcr) {
    return (mcr & (kDtr | kRts)) == (kDtr | kRts);
}

std::string hex(const std::vector<unsigned>& values) {
    std::string out;
    for (unsigned v : values) {
        char text[8];
        std::snprintf(text, sizeof text, " %02x", v);
        out += text;
    }
    return out.empty() ? " (none)" : out;
}

// What the driver wrote to the register since the last "mcr-reset uart".
std::vector<unsigned> mcrWritten() {
    const std::string said = rig::ask("mcr uart");
    const auto values = rig::parseMcr(said);
    EXPECT_TRUE(values) << said;
    return values.value_or(std::vector<unsigned>{});
}

long wireBaud() {
    const std::string said = rig::ask("wire uart");
    const auto wire = rig::parseWire(said);
    EXPECT_TRUE(wire) << said;
    return wire ? wire->baud : 0;
}

// The hang-up on close, as the driver holds the line, through a descriptor of the test's own.
// While the library holds the port this is not the last close, so it leaves the line alone.
bool hangsUpOnClose(const std::string& when) {
    const int fd = ::open(rig::kUartNode, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    const bool got = fd >= 0 && ::tcgetattr(fd, &t) == 0;
    if (fd >= 0)
        ::close(fd);
    EXPECT_TRUE(got) << when;
    return (t.c_cflag & HUPCL) != 0;
}

// A program that leaves the hang-up on close set, as a tty is by default: its close, the last
// one, drops DTR and RTS.
void closeHangingUp() {
    const int fd = ::open(rig::kUartNode, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    t.c_cflag |= HUPCL;
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
    ::close(fd);
}

// Whether the device is held against this process's second open of it (refused as busy, naming
// the port that holds it) and another program's (portula-cmd says 6 when another holds it).
struct Held {
    bool here;
    bool elsewhere;
};
Held held() {
    std::string refusal;
    UARTCE_SetMessageHandler([](void* context, std::uint8_t, std::uint16_t,
                                const char* text) { *static_cast<std::string*>(context) = text; },
                             &refusal);
    std::uint8_t other = 0;
    const std::uint16_t here = UARTCE_OpenDevice(rig::kUartNode, 9600, 8, 0, 1, &other);
    UARTCE_SetMessageHandler(nullptr, nullptr);
    if (here == UARTCE_OK)
        Close_Com(other);
    const rig::Finished cmd = rig::runToEnd({PORTULA_CMD_PATH, "-p", "COM2", "$01M"});
    return {.here = here == UARTCE_ERR_BUSY && refusal.find("COM2") != std::string::npos,
            .elsewhere = cmd.status == 6};
}

enum class Move { InPlace, Reopen, ReopenAfterHangUp };

struct Way {
    const char* name;
    Move move;
    bool linesStayUp; // no MCR value with DTR or RTS clear after the first open
    bool lockStays;   // a second open is refused between one line and the next
};

void PrintTo(const Way& w, std::ostream* out) {
    *out << w.name;
}

std::string nameOf(const testing::TestParamInfo<Way>& info) {
    return info.param.name;
}

// A scan's way through rates and framings, back to the module's own line (9600 8N1) at the end.
struct Line {
    std::uint32_t baud;
    std::uint8_t dataBits = 8;
    std::uint8_t parity = 0; // as Open_Com takes it (0 none, 1 odd, 2 even)
    std::uint8_t stopBits = 1;
};
const Line kScan[] = {
    {.baud = 19200},
    {.baud = 38400},
    {.baud = 115200},
    {.baud = 9600, .parity = 2},                                // 8E1
    {.baud = 19200, .dataBits = 7, .parity = 1, .stopBits = 2}, // 7O2
    {.baud = 9600},
};

class RateChange : public testing::TestWithParam<Way> {
  protected:
    void TearDown() override { Close_Com(kCom); }
};

TEST_P(RateChange, ModemLinesAndLock) {
    const Way& w = GetParam();
    ASSERT_EQ(rig::ask("mcr-reset uart"), "ok");
    ASSERT_EQ(Open_Com(kCom, 9600, 8, 0, 1), UARTCE_OK);
    // The open leaves DTR and RTS up, and its writes are in the record: it is being kept.
    const std::vector<unsigned> atOpen = mcrWritten();
    ASSERT_FALSE(atOpen.empty()) << "no MCR write traced at the open";
    ASSERT_TRUE(linesUp(atOpen.back())) << "at the open:" << hex(atOpen);
    ASSERT_EQ(rig::ask("mcr-reset uart"), "ok");
    std::size_t seen = 0;
    for (const Line& l : kScan) {
        const std::string row = std::to_string(l.baud) + " " + std::to_string(l.dataBits) +
                                "NOE"[l.parity] + std::to_string(l.stopBits);
        if (w.move == Move::InPlace) {
            const uartce_line line{.size = sizeof(uartce_line),
                                   .baud = l.baud,
                                   .dataBits = l.dataBits,
                                   .parity = l.parity,
                                   .stopBits = l.stopBits,
                                   .flow = UARTCE_FLOW_NONE};
            ASSERT_EQ(UARTCE_SetLine(kCom, &line), UARTCE_OK) << row;
        } else {
            ASSERT_EQ(Close_Com(kCom), UARTCE_OK) << row;
            if (w.move == Move::ReopenAfterHangUp) {
                ASSERT_NO_FATAL_FAILURE(closeHangingUp()) << row;
            }
            const Held between = held();
            EXPECT_EQ(between.elsewhere, w.lockStays) << row << ": another program, closed";
            ASSERT_EQ(Open_Com(kCom, l.baud, l.dataBits, l.parity, l.stopBits), UARTCE_OK) << row;
        }
        const std::vector<unsigned> now = mcrWritten();
        // The driver writes the register with every new line: each change shows in the record.
        EXPECT_GT(now.size(), seen) << row << ": no MCR write traced for the change";
        EXPECT_EQ(wireBaud(), static_cast<long>(l.baud)) << row;
        EXPECT_FALSE(hangsUpOnClose(row)) << row << ": the library's line hangs up on close";
        if (w.move == Move::InPlace) {
            const Held between = held();
            EXPECT_TRUE(between.here) << row << ": this process's second open was not refused";
            EXPECT_TRUE(between.elsewhere) << row << ": another program's open was not refused";
        }
        // Whatever the probes wrote counts too: a refused open must leave the lines alone.
        seen = mcrWritten().size();
    }
    const std::vector<unsigned> all = mcrWritten();
    const bool dropped =
        std::any_of(all.begin(), all.end(), [](unsigned v) { return !linesUp(v); });
    EXPECT_EQ(dropped, !w.linesStayUp) << w.name << ": MCR written" << hex(all);
    // Back on the module's line, the port works as before the scan.
    char reply[UARTCE_REPLY_BUFFER_SIZE];
    EXPECT_EQ(Send_Receive_Cmd(kCom, "$01M", reply, 500, 0, nullptr), UARTCE_OK);
    EXPECT_STREQ(reply, "!01PORTULA-SIM");
}

// Closing the library's port does not hang up either (its line has HUPCL off): the driver only
// gates the interrupt off (MCR 03), so DTR and RTS stay up, but the lock goes with the close.
// A close that hangs up shows as 08 then 00: the record sees a drop where there is one.
INSTANTIATE_TEST_SUITE_P(
    Uart, RateChange,
    testing::Values(
        Way{.name = "in_place", .move = Move::InPlace, .linesStayUp = true, .lockStays = true},
        Way{.name = "reopen", .move = Move::Reopen, .linesStayUp = true, .lockStays = false},
        Way{.name = "reopen_after_hang_up",
            .move = Move::ReopenAfterHangUp,
            .linesStayUp = false,
            .lockStays = false}),
    nameOf);

} // namespace
