// Modbus exchanges through the shared library on a pseudo-terminal, the test playing the slave:
// frames go out as the rules compose them, and replies end by their length, by the line's
// silence or by CR LF.

#include "rules/Modbus.h"
#include "support/PseudoTerminal.h"
#include "support/TempTree.h"

#include <uartce.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::PseudoTerminal;
using testsupport::TempTree;

constexpr std::uint8_t kPort = 7;

std::string bytes(const char* hex) {
    return portula::parseHexBytes(hex).value();
}

class ModbusPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("UARTCE_DEV_ROOT", tree.mkdir("dev").c_str(), 1);
        ::setenv("UARTCE_SYS_ROOT", tree.mkdir("sys").c_str(), 1);
        ::setenv("UARTCE_SYSCONF_DIR", tree.mkdir("etc").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", tree.mkdir("home").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", tree.mkdir("run").c_str(), 1);
        ::setenv("UARTCE_COM7", pty.path().c_str(), 1);
        ASSERT_EQ(Open_Com(kPort, 19200, 8, 0, 1), UARTCE_OK);
    }
    void TearDown() override {
        Close_Com(kPort);
        for (const char* name : {"UARTCE_DEV_ROOT", "UARTCE_SYS_ROOT", "UARTCE_SYSCONF_DIR",
                                 "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "UARTCE_COM7"})
            ::unsetenv(name);
    }

    TempTree tree;
    PseudoTerminal pty;
};

TEST_F(ModbusPty, RepliesEndByLengthSilenceOrLineEnd) {
    struct Case {
        const char* name;
        std::uint8_t mode;
        const char* request;
        std::string answer;      // what the slave writes once the request has come
        std::size_t pauseAt = 0; // then a pause of many characters' time after so many bytes
        std::uint16_t status;
        const char* reply;
        unsigned exception = 0;
    };
    const Case cases[] = {
        {.name = "rtu, by length, with noise behind it",
         .mode = UARTCE_MODBUS_RTU,
         .request = "05 03 00 00 00 02",
         .answer = portula::rtuFrame(bytes("05 03 04 12 34 56 78")) + "\xFF\xFF",
         .status = UARTCE_OK,
         .reply = "05 03 04 12 34 56 78"},
        {.name = "rtu, by the silence",
         .mode = UARTCE_MODBUS_RTU,
         .request = "05 11",
         .answer = portula::rtuFrame(bytes("05 11 03 41 42 FF")),
         .status = UARTCE_OK,
         .reply = "05 11 03 41 42 FF"},
        {.name = "rtu, a pause within a reply whose length is known",
         .mode = UARTCE_MODBUS_RTU,
         .request = "05 03 00 00 00 02",
         .answer = portula::rtuFrame(bytes("05 03 04 12 34 56 78")),
         .pauseAt = 4,
         .status = UARTCE_OK,
         .reply = "05 03 04 12 34 56 78"},
        {.name = "rtu, a pause after the slave's address",
         .mode = UARTCE_MODBUS_RTU,
         .request = "05 03 00 00 00 02",
         .answer = portula::rtuFrame(bytes("05 03 04 12 34 56 78")),
         .pauseAt = 1,
         .status = UARTCE_OK,
         .reply = "05 03 04 12 34 56 78"},
        {.name = "rtu, the echo, a pause, then the reply",
         .mode = UARTCE_MODBUS_RTU,
         .request = "05 03 00 00 00 02",
         .answer = portula::rtuFrame(bytes("05 03 00 00 00 02")) +
                   portula::rtuFrame(bytes("05 03 04 12 34 56 78")),
         .pauseAt = 8,
         .status = UARTCE_OK,
         .reply = "05 03 04 12 34 56 78"},
        {.name = "rtu, another slave's frame cut short ends at the pause and fails its check",
         .mode = UARTCE_MODBUS_RTU,
         .request = "05 03 00 00 00 02",
         .answer = portula::rtuFrame(bytes("06 03 04 00 01 00 02")).substr(0, 5) +
                   portula::rtuFrame(bytes("05 03 04 12 34 56 78")),
         .pauseAt = 5,
         .status = UARTCE_ERR_CHECKSUM,
         .reply = "06 03 04 00 01"},
        {.name = "rtu, the echo missing its first bytes, a pause, then the reply",
         .mode = UARTCE_MODBUS_RTU,
         .request = "05 03 00 00 00 02",
         .answer = portula::rtuFrame(bytes("05 03 00 00 00 02")).substr(2) +
                   portula::rtuFrame(bytes("05 03 04 12 34 56 78")),
         .pauseAt = 6,
         .status = UARTCE_OK,
         .reply = "05 03 04 12 34 56 78"},
        {.name = "rtu, a pause within the echo missing its first byte",
         .mode = UARTCE_MODBUS_RTU,
         .request = "05 03 00 00 00 02",
         .answer = portula::rtuFrame(bytes("05 03 00 00 00 02")).substr(1) +
                   portula::rtuFrame(bytes("05 03 04 12 34 56 78")),
         .pauseAt = 3,
         .status = UARTCE_OK,
         .reply = "05 03 04 12 34 56 78"},
        {.name = "rtu, an exception",
         .mode = UARTCE_MODBUS_RTU,
         .request = "05 03 FF 00 00 02",
         .answer = portula::rtuFrame(bytes("05 83 02")),
         .status = UARTCE_ERR_EXCEPTION,
         .reply = "05 83 02",
         .exception = 2},
        {.name = "ascii, the echo then the reply",
         .mode = UARTCE_MODBUS_ASCII,
         .request = "05 03 00 00 00 01",
         .answer = portula::asciiFrame(bytes("05 03 00 00 00 01")) +
                   portula::asciiFrame(bytes("05 03 02 00 2A")),
         .status = UARTCE_OK,
         .reply = "05 03 02 00 2A"},
    };
    for (const Case& c : cases) {
        const std::string request = bytes(c.request);
        const std::string frame = portula::modbusFrame(
            c.mode == UARTCE_MODBUS_RTU ? portula::ModbusMode::Rtu : portula::ModbusMode::Ascii,
            request);
        std::string heard;
        std::thread slave([&] {
            heard = pty.read(frame.size(), 2s);
            if (c.pauseAt == 0) {
                pty.write(c.answer);
                return;
            }
            // The line quiet for ten times the 1.75 ms that ends a frame at this rate.
            pty.write(c.answer.substr(0, c.pauseAt));
            std::this_thread::sleep_for(17500us);
            pty.write(c.answer.substr(c.pauseAt));
        });
        std::array<std::uint8_t, 256> reply{};
        std::uint32_t length = 0;
        std::uint8_t exception = 0;
        const std::uint16_t status = UARTCE_ModbusExchange(
            kPort, c.mode, reinterpret_cast<const std::uint8_t*>(request.data()),
            static_cast<std::uint32_t>(request.size()), reply.data(), reply.size(), &length, 2000,
            &exception);
        slave.join();
        EXPECT_EQ(heard, frame) << c.name;
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_EQ(portula::hexBytes(std::string(reinterpret_cast<char*>(reply.data()), length)),
                  c.reply)
            << c.name;
        EXPECT_EQ(exception, c.exception) << c.name;
    }
    EXPECT_STREQ(UARTCE_ModbusExceptionText(2), "exception 2: illegal data address");
    EXPECT_STREQ(UARTCE_StatusText(UARTCE_ERR_EXCEPTION), "the slave answered with an exception");
}

} // namespace
