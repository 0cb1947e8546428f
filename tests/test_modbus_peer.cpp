// The Modbus master against a slave it shares no code with: pymodbus's framer and datastore
// (tests/modbus_slave.py) on one pseudo-terminal, the library on another, and the test as the
// wire between them, which can change a byte of a reply on its way.

#include "rules/Modbus.h"
#include "support/Program.h"
#include "support/PseudoTerminal.h"
#include "support/TempTree.h"

#include <uartce.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testsupport::Program;
using testsupport::PseudoTerminal;
using testsupport::TempTree;

constexpr std::uint8_t kPort = 7;

// Copies what each side writes to the other. Armed, it changes the fourth byte coming from the
// slave (a data byte of any reply), once: the reply's CRC or LRC no longer matches.
class Wire {
  public:
    Wire(const PseudoTerminal& master, const PseudoTerminal& slave)
        : m_thread([this, &master, &slave] {
              std::array<char, 512> chunk;
              while (!m_stop) {
                  pollfd p[2] = {{master.master(), POLLIN, 0}, {slave.master(), POLLIN, 0}};
                  if (::poll(p, 2, 20) <= 0)
                      continue;
                  for (int side = 0; side < 2; ++side) {
                      if (!(p[side].revents & POLLIN))
                          continue;
                      const ssize_t n = ::read(p[side].fd, chunk.data(), chunk.size());
                      if (n <= 0)
                          continue;
                      std::string bytes(chunk.data(), static_cast<std::size_t>(n));
                      if (side == 1 && m_damage)
                          for (char& c : bytes)
                              if (m_fromSlave++ == 3) {
                                  c = static_cast<char>(c ^ 0x01);
                                  m_damage = false;
                              }
                      (side == 0 ? slave : master).write(bytes);
                  }
              }
          }) {}
    ~Wire() {
        m_stop = true;
        m_thread.join();
    }
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;
    void damageNextReply() {
        m_fromSlave = 0;
        m_damage = true;
    }

  private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_damage{false};
    std::size_t m_fromSlave = 0;
    std::thread m_thread;
};

struct Result {
    std::uint16_t status;
    std::string reply; // as hex
    unsigned exception;
};

Result exchange(std::uint8_t mode, const char* request) {
    const std::string bytes = portula::parseHexBytes(request).value();
    std::array<std::uint8_t, 256> reply{};
    std::uint32_t length = 0;
    std::uint8_t exception = 0;
    const std::uint16_t status =
        UARTCE_ModbusExchange(kPort, mode, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                              static_cast<std::uint32_t>(bytes.size()), reply.data(), reply.size(),
                              &length, 1000, &exception);
    return {status, portula::hexBytes(std::string(reinterpret_cast<char*>(reply.data()), length)),
            exception};
}

TEST(ModbusPeer, PymodbusSlaveAnswersTheMaster) {
    struct Step {
        const char* request;
        bool damaged = false; // the wire changes a byte of the reply
        std::uint16_t status = UARTCE_OK;
        const char* reply;
        unsigned exception = 0;
    };
    const Step steps[] = {
        {.request = "05 03 00 00 00 03", .reply = "05 03 06 00 64 00 65 00 66"},
        {.request = "05 06 00 01 04 D2", .reply = "05 06 00 01 04 D2"},
        {.request = "05 03 00 07 00 01",
         .damaged = true,
         .status = UARTCE_ERR_CHECKSUM,
         .reply = ""},
        {.request = "05 03 00 01 00 02", .reply = "05 03 04 04 D2 00 66"},
        {.request = "05 03 00 64 00 01",
         .status = UARTCE_ERR_EXCEPTION,
         .reply = "05 83 02",
         .exception = 2},
        {.request = "05 03 00 09 00 01", .reply = "05 03 02 00 6D"},
    };
    for (const char* mode : {"rtu", "ascii"}) {
        TempTree tree;
        ::setenv("UARTCE_DEV_ROOT", tree.mkdir("dev").c_str(), 1);
        ::setenv("UARTCE_SYS_ROOT", tree.mkdir("sys").c_str(), 1);
        ::setenv("UARTCE_SYSCONF_DIR", tree.mkdir("etc").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", tree.mkdir("home").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", tree.mkdir("run").c_str(), 1);
        PseudoTerminal ours, theirs;
        ::setenv("UARTCE_COM7", ours.path().c_str(), 1);
        Wire wire(ours, theirs);
        Program slave({PORTULA_MODBUS_SLAVE, theirs.path(), mode}, {.inputPipe = true});
        ASSERT_EQ(slave.firstLine(10s), "ready") << mode << ": " << slave.err();
        ASSERT_EQ(Open_Com(kPort, 19200, 8, 0, 1), UARTCE_OK);
        // The wire between the two terminals returns nothing of what is sent.
        ASSERT_EQ(UARTCE_SetModbusEcho(kPort, 0), UARTCE_OK);
        const std::uint8_t m = std::string(mode) == "rtu" ? UARTCE_MODBUS_RTU : UARTCE_MODBUS_ASCII;
        for (const Step& s : steps) {
            if (s.damaged)
                wire.damageNextReply();
            const Result r = exchange(m, s.request);
            EXPECT_EQ(r.status, s.status) << mode << " " << s.request;
            if (s.status != UARTCE_ERR_CHECKSUM) {
                EXPECT_EQ(r.reply, s.reply) << mode << " " << s.request;
            }
            EXPECT_EQ(r.exception, s.exception) << mode << " " << s.request;
        }
        EXPECT_EQ(Close_Com(kPort), UARTCE_OK);
        slave.closeInput();
        EXPECT_TRUE(slave.finish(5s)) << slave.err();
        EXPECT_EQ(slave.exitCode(), 0) << slave.err();
        for (const char* name : {"UARTCE_DEV_ROOT", "UARTCE_SYS_ROOT", "UARTCE_SYSCONF_DIR",
                                 "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "UARTCE_COM7"})
            ::unsetenv(name);
    }
}

} // namespace
