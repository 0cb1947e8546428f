// The serial library on pseudo-terminals, with the test playing the device.

#include "support/AsUser.h"
#include "support/Program.h"
#include "support/PseudoTerminal.h"
#include "support/TempTree.h"

#include <uartce.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testsupport::Child;
using testsupport::ChildResult;
using testsupport::Privileges;
using testsupport::PseudoTerminal;
using testsupport::TempTree;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kPort = 7;

// A reply buffer with guard bytes behind its 2048, to catch writes past them.
struct ReplyBuffer {
    static constexpr std::size_t kGuard = 64;
    std::array<char, UARTCE_REPLY_BUFFER_SIZE + kGuard> bytes;
    ReplyBuffer() { bytes.fill('\x5A'); }
    char* data() { return bytes.data(); }
    bool guardIntact() const {
        for (std::size_t i = UARTCE_REPLY_BUFFER_SIZE; i < bytes.size(); ++i)
            if (bytes[i] != '\x5A')
                return false;
        return true;
    }
    bool terminated() const {
        return std::memchr(bytes.data(), '\0', UARTCE_REPLY_BUFFER_SIZE) != nullptr;
    }
};

// The library looks at /dev, /sys and the map files; each test gets empty ones of its own.
void isolateFromTheSystem(const TempTree& tree) {
    ::setenv("UARTCE_DEV_ROOT", tree.mkdir("dev").c_str(), 1);
    ::setenv("UARTCE_SYS_ROOT", tree.mkdir("sys").c_str(), 1);
    ::setenv("UARTCE_SYSCONF_DIR", tree.mkdir("etc").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", tree.mkdir("home").c_str(), 1);
}

void unsetPortVariables() {
    for (const char* name : {"UARTCE_DEV_ROOT", "UARTCE_SYS_ROOT", "UARTCE_SYSCONF_DIR",
                             "XDG_CONFIG_HOME", "UARTCE_COM3", "UARTCE_COM7"})
        ::unsetenv(name);
}

std::string lastError(std::uint8_t port) {
    char text[512];
    UARTCE_LastError(port, text, sizeof text);
    return text;
}

// Polls DataSizeInCom of a port until count bytes wait, within a deadline.
bool waitForBytes(std::uint8_t port, std::uint32_t count) {
    const auto deadline = Clock::now() + 2s;
    while (DataSizeInCom(port) < count)
        if (Clock::now() > deadline)
            return false;
    return true;
}

class UartceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        isolateFromTheSystem(tree);
        pty = std::make_unique<PseudoTerminal>();
        ::setenv("UARTCE_COM7", pty->path().c_str(), 1);
    }
    void TearDown() override {
        Close_Com(kPort);
        unsetPortVariables();
    }
    void open(std::uint32_t baud = 9600, std::int8_t stopBits = 1) {
        ASSERT_EQ(Open_Com(kPort, baud, 8, 0, stopBits), UARTCE_OK);
    }
    // Plays the device: waits for one command line, then answers with the given pieces.
    std::thread answer(std::vector<std::string> pieces) {
        return std::thread([this, pieces = std::move(pieces)] {
            command = pty->readUntil('\r', 2s);
            for (const std::string& piece : pieces) {
                pty->write(piece);
                std::this_thread::sleep_for(5ms); // the device sends in bursts
            }
        });
    }
    bool waitForWaiting(std::uint32_t count) {
        const auto deadline = Clock::now() + 2s;
        while (DataSizeInCom(kPort) < count)
            if (Clock::now() > deadline)
                return false;
        return true;
    }

    TempTree tree;
    std::unique_ptr<PseudoTerminal> pty;
    std::string command;
};

TEST_F(UartceTest, SendBinaryPutsExactlyTheCountedBytesOnTheLine) {
    open();
    const std::string bytes("a\0b\r\n\xff\x00", 7);
    EXPECT_EQ(Send_Binary(kPort, bytes.data(), 7), UARTCE_OK);
    EXPECT_EQ(pty->read(7, 1s), bytes);
    EXPECT_EQ(Send_Binary(kPort, bytes.data(), 0), UARTCE_OK);
    EXPECT_EQ(pty->drain(20ms), "");
}

TEST_F(UartceTest, CommandFramingAndRepliesBothWays) {
    struct Case {
        const char* command;
        std::uint16_t checksum;
        const char* onTheLine;
        std::vector<std::string> replyPieces;
        std::uint16_t status;
        const char* reply;
    };
    const Case cases[] = {
        {.command = "$01M",
         .checksum = 0,
         .onTheLine = "$01M\r",
         .replyPieces = {"!01PORTULA-SIM\r"},
         .status = UARTCE_OK,
         .reply = "!01PORTULA-SIM"},
        {.command = "$01M",
         .checksum = 1,
         .onTheLine = "$01MD2\r",
         .replyPieces = {"!0182\r"},
         .status = UARTCE_OK,
         .reply = "!01"},
        {.command = "$01M",
         .checksum = 1,
         .onTheLine = "$01MD2\r",
         .replyPieces = {"?01a0\r"},
         .status = UARTCE_OK,
         .reply = "?01"},
        {.command = "$01M",
         .checksum = 1,
         .onTheLine = "$01MD2\r",
         .replyPieces = {"!0183\r"},
         .status = UARTCE_ERR_CHECKSUM,
         .reply = "!0183"},
        {.command = "$01M",
         .checksum = 1,
         .onTheLine = "$01MD2\r",
         .replyPieces = {"!01\r"},
         .status = UARTCE_ERR_CHECKSUM,
         .reply = "!01"},
        // No reply to an addressed command is a bare "!": it is no answer.
        {.command = "$01M",
         .checksum = 1,
         .onTheLine = "$01MD2\r",
         .replyPieces = {"!\r"},
         .status = UARTCE_ERR_NO_REPLY,
         .reply = ""},
        {.command = "",
         .checksum = 0,
         .onTheLine = "\r",
         .replyPieces = {"\r"},
         .status = UARTCE_OK,
         .reply = ""},
        {.command = "$01M",
         .checksum = 0,
         .onTheLine = "$01M\r",
         .replyPieces = {"!0", "1A", "BC\r"},
         .status = UARTCE_OK,
         .reply = "!01ABC"},
        {.command = "$01M",
         .checksum = 0,
         .onTheLine = "$01M\r",
         .replyPieces = {"!01\rtrailing"},
         .status = UARTCE_OK,
         .reply = "!01"},
        {.command = "$01M",
         .checksum = 0,
         .onTheLine = "$01M\r",
         .replyPieces = {"!01"},
         .status = UARTCE_ERR_REPLY_CUT,
         .reply = "!01"},
        {.command = "$01M",
         .checksum = 0,
         .onTheLine = "$01M\r",
         .replyPieces = {},
         .status = UARTCE_ERR_NO_REPLY,
         .reply = ""},
    };
    open();
    for (const Case& c : cases) {
        std::thread device = answer(c.replyPieces);
        ReplyBuffer reply;
        std::uint32_t out = 99;
        const std::uint16_t status =
            Send_Receive_Cmd(kPort, c.command, reply.data(), 100, c.checksum, &out);
        device.join();
        EXPECT_EQ(command, c.onTheLine) << c.command;
        EXPECT_EQ(status, c.status) << c.onTheLine << " / " << c.replyPieces.size();
        EXPECT_STREQ(reply.data(), c.reply);
        EXPECT_EQ(out, std::strlen(c.reply));
        EXPECT_TRUE(reply.guardIntact());
        pty->drain(1ms);
    }
}

TEST_F(UartceTest, ReplyReturnsAtItsCrNotAtTheTimeOut) {
    open();
    std::thread device = answer({"!01\r"});
    ReplyBuffer reply;
    const auto start = Clock::now();
    EXPECT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 5000, 0, nullptr), UARTCE_OK);
    const auto took = Clock::now() - start;
    device.join();
    EXPECT_LT(took, 2500ms) << "a reply that ended must not wait for the time-out";
}

TEST_F(UartceTest, TimeOutIsKeptWithoutAnswer) {
    open();
    ReplyBuffer reply;
    const auto start = Clock::now();
    EXPECT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 150, 0, nullptr), UARTCE_ERR_NO_REPLY);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 2s);
    EXPECT_STREQ(reply.data(), "");
}

TEST_F(UartceTest, StaleInputIsNotTakenAsTheReply) {
    open();
    pty->write("!99STALE\r");
    ASSERT_TRUE(waitForWaiting(9));
    std::thread device = answer({"!01FRESH\r"});
    ReplyBuffer reply;
    EXPECT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 500, 0, nullptr), UARTCE_OK);
    device.join();
    EXPECT_STREQ(reply.data(), "!01FRESH");
}

TEST_F(UartceTest, ReplyLongerThanTheBufferStopsAt2047Bytes) {
    open();
    std::thread device = answer({"!01" + std::string(3000, 'x') + "\r"});
    ReplyBuffer reply;
    std::uint32_t out = 0;
    EXPECT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 1000, 0, &out),
              UARTCE_ERR_REPLY_TOO_LONG);
    device.join();
    EXPECT_EQ(std::strlen(reply.data()), 2047u);
    EXPECT_EQ(out, 2047u);
    EXPECT_TRUE(reply.guardIntact());
    EXPECT_EQ(DataSizeInCom(kPort), 0u) << "the rest of the long line was consumed";
}

TEST_F(UartceTest, BytesAfterTheReplyStayForTheNextPoll) {
    open();
    std::thread device = answer({"!01\rlate"});
    ReplyBuffer reply;
    EXPECT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 500, 0, nullptr), UARTCE_OK);
    device.join();
    ASSERT_TRUE(waitForWaiting(4));
    char chunk[UARTCE_RECEIVE_BUFFER_SIZE];
    EXPECT_EQ(Receive_Cmd(kPort, chunk, 200, 0, nullptr), UARTCE_OK);
    EXPECT_STREQ(chunk, "late");
}

TEST_F(UartceTest, ReceiveReturnsAtMost1023BytesAtOnce) {
    open();
    char chunk[UARTCE_RECEIVE_BUFFER_SIZE];
    std::uint32_t out = 99;
    const auto start = Clock::now();
    EXPECT_EQ(Receive_Cmd(kPort, chunk, 200, 1, &out), UARTCE_OK);
    EXPECT_LT(Clock::now() - start, 100ms) << "nothing waiting: it returns at once";
    EXPECT_STREQ(chunk, "");
    EXPECT_EQ(out, 0u);

    pty->write(std::string(1500, 'r'));
    ASSERT_TRUE(waitForWaiting(1500));
    std::memset(chunk, 'Q', sizeof chunk);
    EXPECT_EQ(Receive_Cmd(kPort, chunk, 200, 0, &out), UARTCE_OK);
    EXPECT_EQ(out, 1023u);
    EXPECT_EQ(std::strlen(chunk), 1023u);
    EXPECT_EQ(DataSizeInCom(kPort), 477u);
    EXPECT_EQ(Receive_Cmd(kPort, chunk, 200, 0, &out), UARTCE_OK);
    EXPECT_EQ(out, 477u);
    EXPECT_EQ(DataSizeInCom(kPort), 0u);
}

TEST_F(UartceTest, OpenSetsBaudAndStopBitsOnTheLine) {
    // A descriptor of the test's own shares the line's settings.
    const int slave = ::open(pty->path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    struct Case {
        std::uint32_t baud;
        std::int8_t stopBits;
        speed_t speed;
        bool twoStops;
    };
    for (const Case& c : {Case{115200, 0, B115200, false}, Case{1200, 2, B1200, true},
                          Case{9600, 1, B9600, false}}) {
        ASSERT_EQ(Open_Com(kPort, c.baud, 8, 0, c.stopBits), UARTCE_OK);
        termios t{};
        ASSERT_EQ(::tcgetattr(slave, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStops);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
        Close_Com(kPort);
    }
    ::close(slave);
}

TEST_F(UartceTest, RefusedOpensSayWhyInOneLine) {
    const int holder = ::open(pty->path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    const std::string busy = tree.link("dev/held", pty->path());
    struct Case {
        const char* device; // nullptr: the test's pty; "": UARTCE_COM7 unset
        std::uint32_t baud;
        std::uint8_t dataBits;
        std::int8_t stopBits;
        std::uint16_t status;
        const char* says;
        const char* neverSays;
    };
    const Case cases[] = {
        {.device = "/dev/portula-no-such-tty",
         .baud = 9600,
         .dataBits = 8,
         .stopBits = 1,
         .status = UARTCE_ERR_NO_DEVICE,
         .says = "check UARTCE_COM7",
         .neverSays = "set UARTCE_COM7"},
        {.device = "",
         .baud = 9600,
         .dataBits = 8,
         .stopBits = 1,
         .status = UARTCE_ERR_NO_DEVICE,
         .says = "set UARTCE_COM7 to the device to use",
         .neverSays = "check"},
        {.device = "/dev/portula\nno such\ttty",
         .baud = 9600,
         .dataBits = 8,
         .stopBits = 1,
         .status = UARTCE_ERR_NO_DEVICE,
         .says = "(/dev/portula\\nno such\\ttty)",
         .neverSays = "\t"},
        {.device = nullptr,
         .baud = 4000001,
         .dataBits = 8,
         .stopBits = 1,
         .status = UARTCE_ERR_BAD_SETTINGS,
         .says = "baud 4000001",
         .neverSays = "set UARTCE"},
        {.device = nullptr,
         .baud = 9600,
         .dataBits = 9,
         .stopBits = 1,
         .status = UARTCE_ERR_BAD_SETTINGS,
         .says = "data bits 9",
         .neverSays = "set UARTCE"},
        {.device = nullptr,
         .baud = 9600,
         .dataBits = 8,
         .stopBits = 3,
         .status = UARTCE_ERR_BAD_SETTINGS,
         .says = "stop bits 3",
         .neverSays = "set UARTCE"},
        {.device = "/dev/null",
         .baud = 9600,
         .dataBits = 8,
         .stopBits = 1,
         .status = UARTCE_ERR_OPEN_FAILED,
         .says = "not a serial device",
         .neverSays = "set UARTCE"},
        {.device = "/dev/ptmx",
         .baud = 9600,
         .dataBits = 8,
         .stopBits = 1,
         .status = UARTCE_ERR_OPEN_FAILED,
         .says = "pseudo-terminal master",
         .neverSays = "set UARTCE"},
        {.device = busy.c_str(),
         .baud = 9600,
         .dataBits = 8,
         .stopBits = 1,
         .status = UARTCE_ERR_BUSY,
         .says = "): another program holds it",
         .neverSays = "locked by"},
    };
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    for (const Case& c : cases) {
        if (c.device && !*c.device)
            ::unsetenv("UARTCE_COM7");
        else
            ::setenv("UARTCE_COM7", c.device ? c.device : pty->path().c_str(), 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(Open_Com(kPort, c.baud, c.dataBits, 0, c.stopBits), c.status) << c.says;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("UARTCE: cannot open COM7 (", 0), 0u) << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(err.find(c.neverSays), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(err.back(), '\n');
        EXPECT_EQ("UARTCE: " + lastError(kPort) + "\n", err) << "the reason stays reachable";
        EXPECT_EQ(DataSizeInCom(kPort), 0u);
    }
    ::close(holder);
    ::setenv("UARTCE_COM7", pty->path().c_str(), 1);
    open();
    EXPECT_EQ(lastError(kPort), "") << "a successful open clears the reason";
}

TEST_F(UartceTest, PortDeviceNamesTheDeviceOpenWouldUse) {
    char out[64];
    EXPECT_EQ(UARTCE_PortDevice(kPort, out, sizeof out), pty->path().size());
    EXPECT_EQ(out, pty->path());
    ::unsetenv("UARTCE_COM3");
    const std::string fallback = tree.path("dev/ttyS2");
    EXPECT_EQ(UARTCE_PortDevice(3, out, 8), fallback.size());
    EXPECT_EQ(out, fallback.substr(0, 7)) << "cut to the buffer, zero-terminated";
    EXPECT_EQ(UARTCE_PortDevice(0, out, sizeof out), 0u);
}

TEST_F(UartceTest, CloseReleasesThePortAndItsLock) {
    open();
    EXPECT_EQ(Close_Com(kPort), UARTCE_OK);
    EXPECT_EQ(Close_Com(kPort), UARTCE_ERR_NOT_OPEN);
    const int other = ::open(pty->path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0) << "the lock went with the close";
    ::close(other);
}

TEST_F(UartceTest, CallsOnAPortNotOpen) {
    ReplyBuffer reply;
    char chunk[UARTCE_RECEIVE_BUFFER_SIZE];
    EXPECT_EQ(Send_Binary(kPort, "x", 1), UARTCE_ERR_NOT_OPEN);
    EXPECT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 100, 0, nullptr), UARTCE_ERR_NOT_OPEN);
    EXPECT_TRUE(reply.terminated());
    EXPECT_EQ(Receive_Cmd(kPort, chunk, 100, 0, nullptr), UARTCE_ERR_NOT_OPEN);
    EXPECT_STREQ(chunk, "");
    EXPECT_EQ(DataSizeInCom(kPort), 0u);
    EXPECT_EQ(DataSizeInCom(0), 0u);
    EXPECT_EQ(DataSizeInCom(65535), 0u);
    EXPECT_EQ(Open_Com(0, 9600, 8, 0, 1), UARTCE_ERR_BAD_PORT);
}

TEST_F(UartceTest, HangUpNeitherCrashesNorWaits) {
    open();
    pty->write("before");
    ASSERT_TRUE(waitForWaiting(6));
    // Keeps the pty's number taken: no pty of another test appears under the gone path.
    const int keeper = ::open(pty->path().c_str(), O_RDWR | O_NOCTTY);
    pty->hangUp();
    ReplyBuffer reply;
    char chunk[UARTCE_RECEIVE_BUFFER_SIZE];
    const auto start = Clock::now();
    // The kernel drops a line's unread input when it hangs up; what the library itself held is
    // delivered first (tested apart), here there is none.
    EXPECT_EQ(Receive_Cmd(kPort, chunk, 200, 0, nullptr), UARTCE_ERR_HANGUP);
    EXPECT_EQ(Receive_Cmd(kPort, chunk, 200, 0, nullptr), UARTCE_ERR_HANGUP);
    EXPECT_STREQ(chunk, "");
    const std::uint16_t command = Send_Receive_Cmd(kPort, "$01M", reply.data(), 3000, 0, nullptr);
    EXPECT_EQ(command, UARTCE_ERR_HANGUP);
    EXPECT_TRUE(reply.terminated());
    const std::uint16_t sent = Send_Binary(kPort, "x", 1);
    EXPECT_EQ(sent, UARTCE_ERR_HANGUP);
    EXPECT_EQ(DataSizeInCom(kPort), 0u);
    EXPECT_LT(Clock::now() - start, 2s) << "no call may wait for a line that is gone";
    EXPECT_EQ(Close_Com(kPort), UARTCE_OK);
    ::close(keeper);

    // The port can be opened again on a new line.
    pty = std::make_unique<PseudoTerminal>();
    ::setenv("UARTCE_COM7", pty->path().c_str(), 1);
    open();
}

TEST_F(UartceTest, AStalledLineEndsTheWriteInsteadOfHanging) {
    open(115200);
    const std::string big(1 << 20, 'z'); // far more than the line buffers
    const auto start = Clock::now();
    EXPECT_EQ(Send_Binary(kPort, big.data(), static_cast<std::uint32_t>(big.size())),
              UARTCE_ERR_WRITE);
    EXPECT_LT(Clock::now() - start, 5s);
}

TEST_F(UartceTest, BytesHeldAtAHangUpAreDeliveredBeforeItIsReported) {
    open();
    std::thread device = answer({"!01\rlate"});
    ReplyBuffer reply;
    ASSERT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 500, 0, nullptr), UARTCE_OK);
    device.join();
    const int keeper = ::open(pty->path().c_str(), O_RDWR | O_NOCTTY);
    pty->hangUp();
    EXPECT_EQ(Send_Binary(kPort, "x", 1), UARTCE_ERR_HANGUP) << "the library now knows";
    EXPECT_EQ(DataSizeInCom(kPort), 4u) << "held bytes still count";
    char chunk[UARTCE_RECEIVE_BUFFER_SIZE];
    std::uint32_t out = 0;
    EXPECT_EQ(Receive_Cmd(kPort, chunk, 200, 0, &out), UARTCE_OK);
    EXPECT_STREQ(chunk, "late");
    EXPECT_EQ(out, 4u);
    EXPECT_EQ(DataSizeInCom(kPort), 0u);
    EXPECT_EQ(Receive_Cmd(kPort, chunk, 200, 0, &out), UARTCE_ERR_HANGUP);
    EXPECT_STREQ(chunk, "");
    ::close(keeper);
}

TEST_F(UartceTest, ADeviceThatComesBackIsOpenedAgainWithItsSettings) {
    const std::string link = tree.link("adapter", pty->path());
    ::setenv("UARTCE_COM7", link.c_str(), 1);
    open(19200, 2);
    ReplyBuffer reply;
    std::thread before = answer({"!01A\r"});
    EXPECT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 1000, 0, nullptr), UARTCE_OK);
    before.join();
    EXPECT_STREQ(reply.data(), "!01A");

    // Unplugged: the node goes, the line hangs up.
    const int keeper = ::open(pty->path().c_str(), O_RDWR | O_NOCTTY);
    tree.remove("adapter");
    pty->hangUp();
    EXPECT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 1000, 0, nullptr), UARTCE_ERR_HANGUP);
    char chunk[UARTCE_RECEIVE_BUFFER_SIZE];
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 1000, 0, nullptr),
                  UARTCE_ERR_HANGUP);
        EXPECT_EQ(Receive_Cmd(kPort, chunk, 200, 0, nullptr), UARTCE_ERR_HANGUP);
        EXPECT_EQ(Send_Binary(kPort, "x", 1), UARTCE_ERR_HANGUP);
        EXPECT_EQ(DataSizeInCom(kPort), 0u);
    }

    // Plugged in again: the same name, another device behind it.
    pty = std::make_unique<PseudoTerminal>();
    ::close(keeper);
    tree.link("adapter", pty->path());
    const auto deadline = Clock::now() + 5s;
    std::uint16_t sent = UARTCE_ERR_HANGUP;
    while (sent == UARTCE_ERR_HANGUP && Clock::now() < deadline)
        sent = Send_Binary(kPort, "?", 1);
    ASSERT_EQ(sent, UARTCE_OK) << "the port did not come back by itself";
    EXPECT_EQ(pty->read(1, 1s), "?");
    std::thread after = answer({"!01B\r"});
    EXPECT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 1000, 0, nullptr), UARTCE_OK);
    after.join();
    EXPECT_STREQ(reply.data(), "!01B");
    EXPECT_EQ(command, "$01M\r");

    // Same settings and the lock again on the new device.
    const int other = ::open(pty->path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(other, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0) << "the lock was taken again";
    ::close(other);
}

// How the process that held a port ended; the port must be free afterwards in every case.
enum class HolderEnd { CloseCom, ExitWithoutClose, Sigterm, Sigkill };
constexpr const char* kHolderEndNames[] = {"CloseCom", "ExitWithoutClose", "Sigterm", "Sigkill"};

void PrintTo(HolderEnd end, std::ostream* os) {
    *os << kHolderEndNames[static_cast<int>(end)];
}

class ExclusivityTest : public UartceTest, public ::testing::WithParamInterface<HolderEnd> {};

int openAsChild() {
    const std::uint16_t rc = Open_Com(kPort, 9600, 8, 0, 1);
    return rc;
}

TEST_P(ExclusivityTest, NothingStaysLockedAfterTheHolderEnds) {
    // The unprivileged opener needs the slave; the master stays with the test throughout.
    ASSERT_EQ(::chmod(pty->path().c_str(), 0666), 0);
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    const HolderEnd end = GetParam();
    Child holder(
        [&](int ready) {
            if (Open_Com(kPort, 9600, 8, 0, 1) != UARTCE_OK)
                return 1;
            (void)!::write(ready, "r", 1);
            char c;
            (void)!::read(go[0], &c, 1); // a signal may end the holder here
            if (end == HolderEnd::CloseCom)
                Close_Com(kPort);
            return 0;
        },
        Privileges::Keep);
    ASSERT_TRUE(holder.waitReady(5s));

    const ChildResult second = testsupport::runAsUser(openAsChild);
    EXPECT_TRUE(second.exited);
    EXPECT_EQ(second.exitCode, UARTCE_ERR_BUSY) << second.stderrText;
    EXPECT_NE(second.stderrText.find("another program holds it"), std::string::npos);

    switch (end) {
    case HolderEnd::CloseCom:
    case HolderEnd::ExitWithoutClose:
        (void)!::write(go[1], "g", 1);
        break;
    case HolderEnd::Sigterm:
        holder.signal(SIGTERM);
        break;
    case HolderEnd::Sigkill:
        holder.signal(SIGKILL);
        break;
    }
    const ChildResult held = holder.finish(5s);
    EXPECT_EQ(held.exited, end == HolderEnd::CloseCom || end == HolderEnd::ExitWithoutClose);
    ::close(go[0]);
    ::close(go[1]);

    const int probe = ::open(pty->path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    int exclusive = -1;
    ASSERT_EQ(::ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "no exclusive flag stays behind";
    ::close(probe);

    const ChildResult later = testsupport::runAsUser(openAsChild);
    EXPECT_TRUE(later.exited);
    EXPECT_EQ(later.exitCode, UARTCE_OK) << later.stderrText;
}

std::string holderEndName(const ::testing::TestParamInfo<HolderEnd>& info) {
    return kHolderEndNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(HolderEnds, ExclusivityTest,
                         ::testing::Values(HolderEnd::CloseCom, HolderEnd::ExitWithoutClose,
                                           HolderEnd::Sigterm, HolderEnd::Sigkill),
                         holderEndName);

TEST_F(UartceTest, APermissionRefusalNamesItsCause) {
    if (::geteuid() != 0)
        GTEST_FAIL() << "needs root to give the pty away; CI runs as root";
    struct Case {
        const char* group;
        mode_t mode;
        const char* says;
        const char* neverSays;
    };
    const Case cases[] = {
        {.group = "root",
         .mode = 0000,
         .says = "belongs to root:root with mode 0000",
         .neverSays = "dialout"},
        {.group = "root",
         .mode = 0600,
         .says = "belongs to root:root with mode 0600",
         .neverSays = "dialout"},
        {.group = "dialout",
         .mode = 0660,
         .says = "add the user to the dialout group",
         .neverSays = "mode"},
        {.group = "dialout",
         .mode = 0600,
         .says = "belongs to root:dialout with mode 0600",
         .neverSays = "add the user"},
    };
    for (const Case& c : cases) {
        const group* g = ::getgrnam(c.group);
        ASSERT_NE(g, nullptr) << c.group;
        ASSERT_EQ(::chown(pty->path().c_str(), 0, g->gr_gid), 0);
        ASSERT_EQ(::chmod(pty->path().c_str(), c.mode), 0);
        const ChildResult r = testsupport::runAsUser(openAsChild);
        EXPECT_EQ(r.exitCode, UARTCE_ERR_ACCESS) << r.stderrText;
        EXPECT_NE(r.stderrText.find(c.says), std::string::npos) << r.stderrText;
        EXPECT_EQ(r.stderrText.find(c.neverSays), std::string::npos) << r.stderrText;
        EXPECT_EQ(std::count(r.stderrText.begin(), r.stderrText.end(), '\n'), 1);
    }
}

TEST_F(UartceTest, PortsComeFromTheMapFileAndTheAdaptersWithoutVariables) {
    ::unsetenv("UARTCE_COM7");
    const std::string adapter = "usb-Prolific_Technology_Inc._USB-Serial_Controller_D-if00-port0";
    tree.link("dev/serial/by-id/" + adapter, pty->path());
    tree.write("home/portula/ports.conf",
               "# bench\nCOM7 = " + tree.path("dev/ttyUSB4") + "\nCOM8 is broken\n" +
                   "COM9 = " + tree.path("dev/serial/by-id/usb-gone-if00-port0") + "\n");
    char text[512];
    testing::internal::CaptureStderr();
    UARTCE_PortInfo(3, text, sizeof text);
    EXPECT_EQ(std::string(text), pty->path() + "  " + adapter);
    UARTCE_PortInfo(7, text, sizeof text);
    EXPECT_EQ(std::string(text), tree.path("dev/ttyUSB4") + " (absent)");
    UARTCE_PortInfo(9, text, sizeof text);
    EXPECT_EQ(std::string(text), tree.path("dev/serial/by-id/usb-gone-if00-port0") + " (absent)");
    EXPECT_EQ(Open_Com(7, 9600, 8, 0, 1), UARTCE_ERR_NO_DEVICE);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << "the bad line is told once:\n" << err;
    EXPECT_NE(err.find("ports.conf:3: expected COM<n> = DEVICE"), std::string::npos) << err;
    EXPECT_NE(err.find("; check " + tree.path("home/portula/ports.conf") + ":2"), std::string::npos)
        << err;

    ASSERT_EQ(Open_Com(3, 9600, 8, 0, 1), UARTCE_OK) << lastError(3);
    pty->write("hello");
    ASSERT_TRUE(waitForBytes(3, 5));
    char chunk[UARTCE_RECEIVE_BUFFER_SIZE];
    EXPECT_EQ(Receive_Cmd(3, chunk, 200, 0, nullptr), UARTCE_OK);
    EXPECT_STREQ(chunk, "hello");
    Close_Com(3);
}

TEST_F(UartceTest, PortulaPortsPrintsTheMap) {
    const std::string adapter = "usb-FTDI_FT232R_USB_UART_A10K5XYZ-if00-port0";
    // Not the pty of UARTCE_COM7: an adapter a variable names keeps that number only.
    const PseudoTerminal second;
    tree.link("dev/serial/by-id/" + adapter, second.path());
    tree.write("etc/portula/ports.conf", "COM5 = socket://127.0.0.1:7000\nbad\n");
    const testsupport::Ran ran = testsupport::runShell(PORTULA_PORTS_PATH " 2>&1");
    const std::string& text = ran.out;
    EXPECT_EQ(ran.exit, 0) << text;
    auto lineOf = [&](const std::string& start) {
        const std::size_t at = text.find("\n" + start);
        return at == std::string::npos ? std::string()
                                       : text.substr(at + 1, text.find('\n', at + 1) - at - 1);
    };
    const std::string com3 = lineOf("COM3 ");
    EXPECT_NE(com3.find(second.path()), std::string::npos) << text;
    EXPECT_NE(com3.find(adapter), std::string::npos) << text;
    EXPECT_NE(com3.find("discovered"), std::string::npos) << text;
    EXPECT_NE(com3.find("yes"), std::string::npos) << text;
    const std::string com5 = lineOf("COM5 ");
    EXPECT_NE(com5.find("socket://127.0.0.1:7000"), std::string::npos) << text;
    EXPECT_NE(com5.find("ports.conf:1"), std::string::npos) << text;
    EXPECT_NE(com5.find("remote, not checked"), std::string::npos) << text;
    const std::string com7 = lineOf("COM7 ");
    EXPECT_NE(com7.find("env UARTCE_COM7"), std::string::npos) << text;
    EXPECT_NE(lineOf("COM4 ").find("absent"), std::string::npos) << text;
    EXPECT_NE(text.find("ports.conf:2: expected COM<n> = DEVICE"), std::string::npos) << text;
}

} // namespace

namespace {

// What the user's port map file is, and what the library makes of it: a regular file is read
// whole whatever its size up to the stated limit; anything else is skipped with its reason,
// said once; nothing waits. Each case runs in a child that must end well within its time (a
// FIFO opened for reading would hold it until it is killed).
TEST_F(UartceTest, APortMapIsReadOnlyWhenItIsARegularFileAndWhole) {
    ::unsetenv("UARTCE_COM7");
    const std::string device = tree.path("dev/ttyLINK-SECOND");
    const std::string mapLine = "COM5 = " + device + "\n";
    struct Case {
        const char* name;
        std::function<void(const std::string& map)> make;
        Privileges privileges;
        const char* said; // the reason on standard error; empty: nothing said
        bool mapped;      // COM5 is the map's device
    };
    const std::string comments = [] {
        std::string text;
        while (text.size() < 65513)
            text += "# a comment line that is long enough to fill the map with little effort\n";
        return text.substr(0, 65513 - 1) + "\n";
    }();
    const std::string huge(1024 * 1024 + 1, '#');
    const Case cases[] = {
        {"LongerThan64KB",
         [&](const std::string& m) { tree.write(m, comments + mapLine + "COM6 = /dev/x\n"); },
         Privileges::Keep, "", true},
        {"Fifo", [&](const std::string& m) { ::mkfifo(tree.path(m).c_str(), 0644); },
         Privileges::Keep, "ports.conf: skipped: a FIFO, not a file", false},
        {"Directory", [&](const std::string& m) { tree.mkdir(m); }, Privileges::Keep,
         "ports.conf: skipped: a directory, not a file", false},
        {"DanglingLink", [&](const std::string& m) { tree.link(m, tree.path("nowhere")); },
         Privileges::Keep, "ports.conf: skipped: a symbolic link to nothing", false},
        {"LinkLoop", [&](const std::string& m) { tree.link(m, tree.path(m)); }, Privileges::Keep,
         "ports.conf: skipped: a loop of symbolic links", false},
        {"Unreadable", [&](const std::string& m) { ::chmod(tree.write(m, mapLine).c_str(), 0200); },
         Privileges::Drop, "ports.conf: skipped: unreadable: Permission denied", false},
        {"PastTheLimit", [&](const std::string& m) { tree.write(m, mapLine + huge); },
         Privileges::Keep, "ports.conf: skipped: larger than 1024 KB", false},
    };
    for (const Case& c : cases) {
        const std::string map = std::string("home-") + c.name + "/portula/ports.conf";
        tree.mkdir(std::string("home-") + c.name + "/portula");
        c.make(map);
        ::setenv("XDG_CONFIG_HOME", tree.path(std::string("home-") + c.name).c_str(), 1);
        Child child(
            [&](int) {
                char text[512] = {};
                UARTCE_PortDevice(5, text, sizeof text);
                UARTCE_PortDevice(5, text, sizeof text);
                const bool mapped = std::string(text) == device;
                // Nothing maps COM5 then, and the refusal does not advise mapping it as if the
                // map had been read.
                const std::uint16_t status = Open_Com(5, 9600, 8, 0, 1);
                return (mapped ? 1 : 0) + (status == UARTCE_ERR_NO_DEVICE ? 2 : 0);
            },
            c.privileges);
        const ChildResult r = child.finish(5s);
        EXPECT_TRUE(r.exited) << c.name << " ended by signal " << r.signal;
        EXPECT_EQ(r.exitCode, (c.mapped ? 1 : 0) + 2) << c.name << ": " << r.stderrText;
        if (*c.said) {
            // Said once in a line of its own, however often the map is built.
            std::size_t warnings = 0;
            std::istringstream lines(r.stderrText);
            for (std::string line; std::getline(lines, line);)
                warnings += line.find(c.said) != std::string::npos &&
                            line.find("cannot open") == std::string::npos;
            EXPECT_EQ(warnings, 1u) << c.name << ": " << r.stderrText;
            EXPECT_NE(r.stderrText.find("the port map was not read"), std::string::npos)
                << c.name << ": " << r.stderrText;
        } else {
            EXPECT_EQ(r.stderrText.find("skipped"), std::string::npos)
                << c.name << ": " << r.stderrText;
        }
    }
}

// A device this program holds already is refused as its own, with the port it is open as,
// whichever name reaches it.
TEST_F(UartceTest, ASecondOpenInTheSameProgramNamesThePortThatHasIt) {
    open();
    const std::string link = tree.link("dev/ttyALIAS", pty->path());
    for (const std::string& name : {pty->path(), link}) {
        ::setenv("UARTCE_COM3", name.c_str(), 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(Open_Com(3, 9600, 8, 0, 1), UARTCE_ERR_BUSY) << name;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("this program already has it open as COM7"), std::string::npos) << err;
        EXPECT_EQ(err.find("another program"), std::string::npos) << err;
    }
    Close_Com(kPort);
    EXPECT_EQ(Open_Com(3, 9600, 8, 0, 1), UARTCE_OK) << lastError(3);
    Close_Com(3);
}

} // namespace

namespace {

// Every answer belongs to its command, on a line the test plays: an echoing line, other
// modules, a garbled echo, a reply that comes after its command gave up. The device answers
// each command in turn with timed writes, as a module that works through its input does.
TEST_F(UartceTest, EveryAnswerBelongsToItsCommand) {
    struct Write {
        int afterMs; // from the command's CR
        std::string bytes;
    };
    struct Exchange {
        const char* command;
        std::uint16_t timeoutMs;
        std::vector<Write> device;
        std::uint16_t status;
        const char* reply;
    };
    struct Case {
        const char* name;
        std::vector<Exchange> exchanges;
        struct {
            std::uint32_t echoes = 0, garbledEchoes = 0, otherAddress = 0, late = 0, notReplies = 0;
        } drops;
    };
    const Case cases[] = {
        {"TheLinesEchoIsNoAnswer",
         {{"$01M", 200, {{0, "$01M\r"}, {2, "!01PORTULA-SIM\r"}}, UARTCE_OK, "!01PORTULA-SIM"},
          {"$01F", 200, {{0, "$01F\r"}, {0, "!01A1.07\r"}}, UARTCE_OK, "!01A1.07"},
          {"$01M", 100, {{0, "$01M\r"}}, UARTCE_ERR_NO_REPLY, ""}},
         {.echoes = 3}},
        {"AGarbledEchoIsAFailureNotAnAnswer",
         {{"$01M", 200, {{0, "$0\x91M\r!01PORTULA-SIM\r"}}, UARTCE_ERR_GARBLED_ECHO, ""}},
         {.garbledEchoes = 1}},
        {"AnotherModulesReplyIsNotTheAnswer",
         {{"$02M", 200, {{0, "!01PORTULA-SIM\r"}, {5, "!02OTHER\r"}}, UARTCE_OK, "!02OTHER"},
          {"$03M", 60, {{0, "!01PORTULA-SIM\r"}}, UARTCE_ERR_NO_REPLY, ""}},
         {.otherAddress = 2}},
        {"ALateReplyIsNotTakenForTheNextCommands",
         {{"$01M", 50, {{90, "!01PORTULA-SIM\r"}}, UARTCE_ERR_NO_REPLY, ""},
          {"$01F", 200, {{0, "!01A1.07\r"}}, UARTCE_OK, "!01A1.07"},
          {"$01M", 200, {{0, "!01PORTULA-SIM\r"}}, UARTCE_OK, "!01PORTULA-SIM"}},
         {.late = 1}},
        // The rest of a cut reply carries no address: whatever command comes next listens for it.
        {"ACutReplysRestIsNotTheNextAnswer",
         {{"$01M", 50, {{0, "!01AB"}, {80, "CD\r"}}, UARTCE_ERR_REPLY_CUT, "!01AB"},
          {"$02M", 200, {{0, "!02X\r"}}, UARTCE_OK, "!02X"}},
         {.late = 1}},
        {"ALateReplyFromAnotherModuleIsToldByItsAddress",
         {{"$01M", 50, {{70, "!01PORTULA-SIM\r"}}, UARTCE_ERR_NO_REPLY, ""},
          {"$02M", 200, {{0, "!02OTHER\r"}}, UARTCE_OK, "!02OTHER"}},
         {.otherAddress = 1}},
        // A reading carries no address: when one came too late, the next command to any module
        // listens for it.
        {"AReadingLateForOneModuleIsNotAnothers",
         {{"#01", 50, {{90, ">DATA-01\r"}}, UARTCE_ERR_NO_REPLY, ""},
          {"#02", 300, {{0, ">DATA-02\r"}}, UARTCE_OK, ">DATA-02"}},
         {.late = 1}},
        // Later than the failed command's own time-out, within the port's window.
        {"AReplyLaterThanItsTimeOutIsNotTheNextAnswer",
         {{"$01M", 50, {{300, "!01PORTULA-SIM\r"}}, UARTCE_ERR_NO_REPLY, ""},
          {"$01F", 300, {{0, "!01A1.07\r"}}, UARTCE_OK, "!01A1.07"}},
         {.late = 1}},
        // What is left of an echo whose first bytes were lost, and a second echo, are no answer.
        {"PiecesOfTheEchoAreNoAnswer",
         {{"$01M", 200, {{0, "01M\r"}, {2, "!01A\r"}}, UARTCE_OK, "!01A"},
          {"$01M", 200, {{0, "1M\r!01B\r"}}, UARTCE_OK, "!01B"},
          {"$01M", 200, {{0, "M\r"}, {3, "!01C\r"}}, UARTCE_OK, "!01C"},
          {"$01M", 200, {{0, "$01M\r$01M\r"}, {2, "!01D\r"}}, UARTCE_OK, "!01D"}},
         {.echoes = 5}},
        {"ALineWithoutAReplysFormIsNoAnswer",
         {{"$01M", 200, {{0, "HELLO\r"}, {2, "!01A\r"}}, UARTCE_OK, "!01A"},
          {"$01M", 200, {{0, "\xFF\x80!01B\r"}}, UARTCE_OK, "!01B"},
          {"$01M", 200, {{0, "?\r"}, {2, "?01\r"}}, UARTCE_OK, "?01"}},
         {.notReplies = 3}},
        // The LF of a CR LF ending that comes after the next command went out, and an LF CR
        // ending, are no part of any reply.
        {"ALineEndingBelongsToTheReplyItEnds",
         {{"$01M", 200, {{0, "!01A\r"}}, UARTCE_OK, "!01A"},
          {"$02M", 200, {{0, "\n!02B\r\n"}}, UARTCE_OK, "!02B"},
          {"$03M", 200, {{0, "\n!03C\n\r"}}, UARTCE_OK, "!03C"},
          {"AT", 200, {{0, "\nOK\r"}}, UARTCE_OK, "OK"}},
         {.notReplies = 3}},
    };
    for (const Case& c : cases) {
        SetUp();
        open();
        std::vector<std::string> seen;
        std::thread device([&] {
            for (const Exchange& e : c.exchanges) {
                seen.push_back(pty->readUntil('\r', 2s));
                const auto received = Clock::now();
                for (const Write& w : e.device) {
                    std::this_thread::sleep_until(received + std::chrono::milliseconds(w.afterMs));
                    pty->write(w.bytes);
                }
            }
        });
        for (const Exchange& e : c.exchanges) {
            ReplyBuffer reply;
            EXPECT_EQ(Send_Receive_Cmd(kPort, e.command, reply.data(), e.timeoutMs, 0, nullptr),
                      e.status)
                << c.name << ": " << e.command;
            EXPECT_STREQ(reply.data(), e.reply) << c.name << ": " << e.command;
        }
        device.join();
        uartce_drops drops{};
        drops.size = sizeof drops;
        ASSERT_EQ(UARTCE_Drops(kPort, &drops), UARTCE_OK);
        EXPECT_EQ(drops.echoes, c.drops.echoes) << c.name;
        EXPECT_EQ(drops.garbledEchoes, c.drops.garbledEchoes) << c.name;
        EXPECT_EQ(drops.otherAddress, c.drops.otherAddress) << c.name;
        EXPECT_EQ(drops.late, c.drops.late) << c.name;
        EXPECT_EQ(drops.notReplies, c.drops.notReplies) << c.name;
        TearDown();
    }
}

} // namespace

namespace {

// A command with a deadline for its reply's first byte: a silent module is known at that
// deadline, and a line set aside meanwhile (a second echo, another module's late answer) gives
// the reply that waited behind it the same time again.
TEST_F(UartceTest, TheFirstBytesDeadlineCountsAgainAfterALineSetAside) {
    struct Case {
        const char* name;
        std::vector<std::pair<int, std::string>> device; // ms after the command, bytes
        std::uint16_t status;
        const char* reply;
    };
    const Case cases[] = {
        {.name = "Silent", .device = {}, .status = UARTCE_ERR_NO_REPLY, .reply = ""},
        {.name = "InTime", .device = {{20, "!01A\r"}}, .status = UARTCE_OK, .reply = "!01A"},
        // The first byte's deadline is 100 ms: the reply at 130 ms comes 70 ms after the line
        // set aside, within the deadline counted again.
        {.name = "BehindASecondEcho",
         .device = {{0, "$01M\r"}, {60, "$01M\r"}, {130, "!01B\r"}},
         .status = UARTCE_OK,
         .reply = "!01B"},
        {.name = "BehindAnotherModule",
         .device = {{60, "!02X\r"}, {130, "!01C\r"}},
         .status = UARTCE_OK,
         .reply = "!01C"},
    };
    for (const Case& c : cases) {
        SetUp();
        open();
        std::thread device([&] {
            const auto received = (pty->readUntil('\r', 2s), Clock::now());
            for (const auto& [afterMs, bytes] : c.device) {
                std::this_thread::sleep_until(received + std::chrono::milliseconds(afterMs));
                pty->write(bytes);
            }
        });
        ReplyBuffer reply;
        EXPECT_EQ(UARTCE_Command(kPort, "$01M", reply.data(), 100, 1000, 0, nullptr), c.status)
            << c.name;
        EXPECT_STREQ(reply.data(), c.reply) << c.name;
        device.join();
        TearDown();
    }
}

// A reply owed when the port closes is listened for by the next open of the device; the window
// after a failure is the caller's to set, and a reply later than it is the one case left.
TEST_F(UartceTest, AnOwedReplyOutlivesThePortForItsWindow) {
    struct Case {
        const char* name;
        bool reopen;
        int windowMs; // -1: as the library sets it
        const char* secondReply;
    };
    const Case cases[] = {
        {.name = "ReopenedAtOnce", .reopen = true, .windowMs = -1, .secondReply = "!01A1.07"},
        {.name = "KeptOpen", .reopen = false, .windowMs = -1, .secondReply = "!01A1.07"},
        {.name = "AWindowOfTheTimeOutAlone",
         .reopen = false,
         .windowMs = 0,
         .secondReply = "!01PORTULA-SIM"},
    };
    for (const Case& c : cases) {
        SetUp();
        open();
        if (c.windowMs >= 0) {
            ASSERT_EQ(UARTCE_SetLateWindow(kPort, static_cast<std::uint16_t>(c.windowMs)),
                      UARTCE_OK);
        }
        std::thread device([&] {
            auto received = (pty->readUntil('\r', 2s), Clock::now());
            std::this_thread::sleep_until(received + 250ms);
            pty->write("!01PORTULA-SIM\r");
            if (pty->readUntil('\r', 2s).empty())
                return;
            pty->write("!01A1.07\r");
        });
        ReplyBuffer reply;
        EXPECT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 50, 0, nullptr),
                  UARTCE_ERR_NO_REPLY)
            << c.name;
        if (c.reopen) {
            Close_Com(kPort);
            open();
        }
        EXPECT_EQ(Send_Receive_Cmd(kPort, "$01F", reply.data(), 600, 0, nullptr), UARTCE_OK)
            << c.name;
        EXPECT_STREQ(reply.data(), c.secondReply) << c.name;
        device.join();
        TearDown();
    }
}

} // namespace

namespace {

struct Message {
    std::uint8_t port;
    std::uint16_t status;
    std::string text;
};

void collect(void* context, std::uint8_t port, std::uint16_t status, const char* text) {
    static_cast<std::vector<Message>*>(context)->push_back({port, status, text});
}

// A device opened by its name takes a number the caller never gave, and its refusal names the
// device; messages reach a handler instead of standard error.
TEST_F(UartceTest, ADeviceOpensByItsNameAndMessagesReachTheHandler) {
    std::vector<Message> messages;
    UARTCE_SetMessageHandler(collect, &messages);
    testing::internal::CaptureStderr();
    std::uint8_t first = 0;
    ASSERT_EQ(UARTCE_OpenDevice(pty->path().c_str(), 9600, 8, 0, 1, &first), UARTCE_OK);
    EXPECT_EQ(first, 255);
    // Its number is an ordinary port to everyone else; the next name gets the next number.
    const PseudoTerminal other;
    std::uint8_t second = 0;
    ASSERT_EQ(UARTCE_OpenDevice(other.path().c_str(), 9600, 8, 0, 1, &second), UARTCE_OK);
    EXPECT_EQ(second, 254);
    ::setenv("UARTCE_COM250", other.path().c_str(), 1);
    EXPECT_EQ(Open_Com(250, 9600, 8, 0, 1), UARTCE_ERR_BUSY) << "held as COM254 already";
    ::unsetenv("UARTCE_COM250");
    std::thread device = answer({"!01X\r"});
    ReplyBuffer reply;
    EXPECT_EQ(Send_Receive_Cmd(first, "$01M", reply.data(), 500, 0, nullptr), UARTCE_OK);
    device.join();
    EXPECT_STREQ(reply.data(), "!01X");
    std::uint8_t refused = 0;
    EXPECT_EQ(UARTCE_OpenDevice("/nonexistent/tty", 9600, 8, 0, 1, &refused), UARTCE_ERR_NO_DEVICE);
    EXPECT_EQ(lastError(refused), "cannot open /nonexistent/tty: No such file or directory");
    EXPECT_EQ(UARTCE_OpenDevice(nullptr, 9600, 8, 0, 1, &refused), UARTCE_ERR_BAD_ARGUMENT);
    Close_Com(first);
    Close_Com(second);
    UARTCE_SetMessageHandler(nullptr, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "everything went to the handler";
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].status, UARTCE_ERR_BUSY);
    EXPECT_EQ(messages[0].port, 250);
    EXPECT_NE(messages[0].text.find("already has it open as COM254"), std::string::npos);
    EXPECT_EQ(messages[1].status, UARTCE_ERR_NO_DEVICE);
    EXPECT_EQ(messages[1].text, "cannot open /nonexistent/tty: No such file or directory");
}

// The port map as data, as portula-ports prints it.
TEST_F(UartceTest, ThePortMapIsDataThroughTheInterface) {
    const std::string adapter = "usb-FTDI_FT232R_USB_UART_A10K5XYZ-if00-port0";
    const PseudoTerminal second;
    tree.link("dev/serial/by-id/" + adapter, second.path());
    tree.write("etc/portula/ports.conf", "COM30 = socket://127.0.0.1:7000\n");
    struct Row {
        std::uint8_t com;
        std::string device;
        std::string byId;
        std::string source;
        bool assigned;
        bool present;
    };
    const Row rows[] = {
        {.com = 7,
         .device = pty->path(),
         .byId = "",
         .source = "env UARTCE_COM7",
         .assigned = true,
         .present = true},
        {.com = 3,
         .device = tree.path("dev/serial/by-id/" + adapter),
         .byId = adapter,
         .source = "discovered",
         .assigned = true,
         .present = true},
        {.com = 30,
         .device = "socket://127.0.0.1:7000",
         .byId = "",
         .source = tree.path("etc/portula/ports.conf") + ":1",
         .assigned = true,
         .present = true},
        {.com = 5,
         .device = tree.path("dev/ttyS4"),
         .byId = "",
         .source = "default",
         .assigned = false,
         .present = false},
    };
    for (const Row& r : rows) {
        uartce_port_info info{};
        info.size = sizeof info;
        ASSERT_EQ(UARTCE_PortMapEntry(r.com, &info), UARTCE_OK);
        EXPECT_EQ(info.device, r.device) << int(r.com);
        EXPECT_EQ(info.byIdName, r.byId) << int(r.com);
        EXPECT_EQ(info.source, r.source) << int(r.com);
        EXPECT_EQ(info.assigned != 0, r.assigned) << int(r.com);
        EXPECT_EQ(info.present != 0, r.present) << int(r.com);
    }
    uartce_port_info info{};
    info.size = sizeof info;
    EXPECT_EQ(UARTCE_PortMapEntry(0, &info), UARTCE_ERR_BAD_PORT);
    EXPECT_EQ(UARTCE_PortMapEntry(3, nullptr), UARTCE_ERR_BAD_ARGUMENT);
}

// A receive that waits for its reply: up to a terminator, or for the first bytes; the echo of
// what Send_Binary wrote left out.
// A program built when a struct was smaller passes the size it knows; the library writes no
// byte past it, and steps through an array of dropped pieces by it.
TEST_F(UartceTest, StructsGetNoMoreThanTheSizeTheCallerSet) {
    open();
    std::thread device([&] {
        pty->readUntil('\r', 2s);
        pty->write("$01M\r!02X\r!01A\r");
    });
    ReplyBuffer reply;
    EXPECT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 500, 0, nullptr), UARTCE_OK);
    device.join();
    EXPECT_STREQ(reply.data(), "!01A");

    struct OldDropped { // the same fields, with room for fewer bytes
        std::uint32_t size;
        std::uint16_t reason;
        std::uint32_t length;
        char bytes[8];
    };
    static_assert(offsetof(OldDropped, bytes) == offsetof(uartce_dropped, bytes));
    alignas(uartce_dropped) std::array<unsigned char, 3 * sizeof(OldDropped)> raw;
    raw.fill(0xAA);
    const std::uint32_t stride = sizeof(OldDropped);
    std::memcpy(raw.data(), &stride, sizeof stride);
    ASSERT_EQ(UARTCE_TakeDropped(kPort, reinterpret_cast<uartce_dropped*>(raw.data()), 3), 2u);
    struct Expected {
        std::uint16_t reason;
        const char* begins;
    };
    const Expected expected[] = {{.reason = 1, .begins = "$01M"}, {.reason = 3, .begins = "!02X"}};
    for (std::size_t i = 0; i < 2; ++i) {
        OldDropped piece;
        std::memcpy(&piece, raw.data() + i * stride, sizeof piece);
        EXPECT_EQ(piece.size, stride) << i;
        EXPECT_EQ(piece.reason, expected[i].reason) << i;
        EXPECT_EQ(std::string(piece.bytes, 4), expected[i].begins) << i;
    }
    EXPECT_TRUE(std::all_of(raw.begin() + 2 * stride, raw.end(), [](unsigned char b) {
        return b == 0xAA;
    })) << "a third piece was written";

    uartce_drops counts{};
    counts.size = sizeof counts.size; // knows the size field alone
    counts.echoes = 77;
    EXPECT_EQ(UARTCE_Drops(kPort, &counts), UARTCE_OK);
    EXPECT_EQ(counts.echoes, 77u);
    counts.size = sizeof counts;
    EXPECT_EQ(UARTCE_Drops(kPort, &counts), UARTCE_OK);
    EXPECT_EQ(counts.echoes, 1u);
    EXPECT_EQ(counts.otherAddress, 1u);
    counts.size = 0;
    EXPECT_EQ(UARTCE_Drops(kPort, &counts), UARTCE_ERR_BAD_ARGUMENT);
    uartce_port_info info{};
    EXPECT_EQ(UARTCE_PortMapEntry(1, &info), UARTCE_ERR_BAD_ARGUMENT);
}

// The version the library says is the header's it was built with, and every status has words
// of its own.
TEST(UartceInterface, VersionAndStatusWords) {
    EXPECT_EQ(UARTCE_Version(), static_cast<std::uint32_t>(UARTCE_VERSION));
    EXPECT_EQ(UARTCE_Version() >> 16, static_cast<std::uint32_t>(UARTCE_VERSION_MAJOR));
    EXPECT_STREQ(UARTCE_StatusText(UARTCE_ERR_HANGUP), "the device hung up");
    EXPECT_STREQ(UARTCE_StatusText(999), "unknown status");
    EXPECT_STRNE(UARTCE_StatusText(UARTCE_ERR_NO_REPLY), UARTCE_StatusText(UARTCE_ERR_REPLY_CUT));
}

// An abandon asked just before a command began to wait (a Ctrl-C between the key and the call)
// ends that command at once instead of being lost; the command after it waits as ever.
TEST_F(UartceTest, AnAbandonJustBeforeTheCallEndsThatCallAndNoOther) {
    open();
    UARTCE_Abandon();
    ReplyBuffer reply;
    EXPECT_EQ(Send_Receive_Cmd(kPort, "$01M", reply.data(), 20000, 0, nullptr),
              UARTCE_ERR_NO_REPLY);
    EXPECT_LT(UARTCE_LastRoundTrip(kPort), 10'000'000u) << "it waited for its time-out";
    EXPECT_EQ(pty->readUntil('\r', 2s), "$01M\r");
    std::thread device([&] {
        pty->readUntil('\r', 2s);
        pty->write("!02X\r");
    });
    EXPECT_EQ(Send_Receive_Cmd(kPort, "$02M", reply.data(), 2000, 0, nullptr), UARTCE_OK);
    device.join();
    EXPECT_STREQ(reply.data(), "!02X");
}

TEST_F(UartceTest, ReceiveWaitsForTheReplyWithoutTheEcho) {
    struct Case {
        const char* sent;
        std::vector<std::string> device; // after the sent bytes came
        std::int16_t terminator;
        std::uint32_t capacity;
        std::uint16_t status;
        const char* reply;
    };
    const Case cases[] = {
        {.sent = "$01M\r\n",
         .device = {"!01X\r"},
         .terminator = '\r',
         .capacity = 2048,
         .status = UARTCE_OK,
         .reply = "!01X"},
        {.sent = "$01M\r\n",
         .device = {"$01M\r\n", "!01X\r"},
         .terminator = '\r',
         .capacity = 2048,
         .status = UARTCE_OK,
         .reply = "!01X"},
        {.sent = "$01M\n",
         .device = {"!01X"},
         .terminator = '\r',
         .capacity = 2048,
         .status = UARTCE_ERR_REPLY_CUT,
         .reply = "!01X"},
        {.sent = "$01M\n",
         .device = {},
         .terminator = '\r',
         .capacity = 2048,
         .status = UARTCE_ERR_NO_REPLY,
         .reply = ""},
        {.sent = "$02M\r",
         .device = {"!01LATE\r", "!02X\r"},
         .terminator = '\r',
         .capacity = 2048,
         .status = UARTCE_OK,
         .reply = "!02X"},
        {.sent = "PING\n",
         .device = {"PING\n", "PONG\n"},
         .terminator = '\n',
         .capacity = 2048,
         .status = UARTCE_OK,
         .reply = "PONG"},
        {.sent = "ab",
         .device = {"abXYZ"},
         .terminator = -1,
         .capacity = 2048,
         .status = UARTCE_OK,
         .reply = "XYZ"},
        {.sent = "x",
         .device = {"123456789\r"},
         .terminator = '\r',
         .capacity = 5,
         .status = UARTCE_ERR_REPLY_TOO_LONG,
         .reply = "1234"},
    };
    open();
    for (const Case& c : cases) {
        ASSERT_EQ(Send_Binary(kPort, c.sent, static_cast<std::uint32_t>(std::strlen(c.sent))),
                  UARTCE_OK);
        pty->read(std::strlen(c.sent), 1s);
        for (const std::string& piece : c.device)
            pty->write(piece);
        std::vector<char> buffer(c.capacity + 8, 'Z');
        std::uint32_t length = 99;
        EXPECT_EQ(UARTCE_Receive(kPort, buffer.data(), c.capacity, 150, c.terminator, &length),
                  c.status)
            << c.sent;
        EXPECT_STREQ(buffer.data(), c.reply) << c.sent;
        EXPECT_EQ(length, std::strlen(c.reply)) << c.sent;
        EXPECT_EQ(buffer[c.capacity], 'Z') << "nothing past the capacity";
        pty->drain(20ms);
        char sink[UARTCE_RECEIVE_BUFFER_SIZE];
        while (DataSizeInCom(kPort) > 0)
            Receive_Cmd(kPort, sink, 0, 0, nullptr);
    }
    std::uint32_t length = 0;
    EXPECT_EQ(UARTCE_Receive(kPort, nullptr, 10, 10, -1, &length), UARTCE_ERR_BAD_ARGUMENT);
    char small[10];
    EXPECT_EQ(UARTCE_Receive(kPort + 1, small, 10, 10, -1, &length), UARTCE_ERR_NOT_OPEN);
}

} // namespace
