// The simulator as a process, reached through the serial library.

#include "support/SimProcess.h"

#include <uartce.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using testsupport::SimProcess;

constexpr std::uint8_t kPort = 11;

class SimProcessTest : public ::testing::Test {
  protected:
    void TearDown() override {
        Close_Com(kPort);
        ::unsetenv("UARTCE_COM11");
    }
    void attach(const SimProcess& sim) {
        ASSERT_FALSE(sim.device().empty()) << "the simulator did not start";
        ::setenv("UARTCE_COM11", sim.device().c_str(), 1);
    }
    static std::string command(const char* text, std::uint16_t& status, bool checksum = false) {
        std::array<char, UARTCE_REPLY_BUFFER_SIZE> reply{};
        status = Send_Receive_Cmd(kPort, text, reply.data(), 1000, checksum ? 1 : 0, nullptr);
        return reply.data();
    }
};

TEST_F(SimProcessTest, SeveralModulesShareTheLine) {
    SimProcess sim(PORTULA_SIM_PATH, {"--address", "01,7F", "--address", "c0", "--checksum"});
    attach(sim);
    ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK);
    struct Case {
        const char* command;
        std::uint16_t status;
        const char* reply;
    };
    const Case cases[] = {
        {"$01M", UARTCE_OK, "!01PORTULA-SIM-01"}, {"$7FM", UARTCE_OK, "!7FPORTULA-SIM-7F"},
        {"$C0M", UARTCE_OK, "!C0PORTULA-SIM-C0"}, {"$02M", UARTCE_ERR_NO_REPLY, ""},
        {"$c0F", UARTCE_OK, "!C0A1.07"},
    };
    for (const Case& c : cases) {
        std::uint16_t status = 0;
        EXPECT_EQ(command(c.command, status, true), c.reply) << c.command;
        EXPECT_EQ(status, c.status) << c.command;
    }
}

// A client that floods the line without reading and then goes away, by closing or by being
// killed, leaves nothing behind for the next one.
TEST_F(SimProcessTest, TheNextClientGetsOnlyItsOwnReplies) {
    for (const bool killed : {true, false}) {
        SCOPED_TRACE(killed ? "flooder killed" : "flooder closed");
        SimProcess sim(PORTULA_SIM_PATH, {});
        attach(sim);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            if (Open_Com(kPort, 9600, 8, 0, 1) != UARTCE_OK)
                ::_exit(3);
            static const char flood[] = "$01M\r$01M\r$01M\r$01M\r";
            for (int i = 0; i < 500; ++i)
                if (Send_Binary(kPort, flood, sizeof flood - 1) != UARTCE_OK)
                    ::_exit(4);
            if (::write(ready[1], "x", 1) != 1)
                ::_exit(5);
            if (!killed) {
                Close_Com(kPort);
                ::_exit(0);
            }
            for (;;)
                Send_Binary(kPort, flood, sizeof flood - 1);
        }
        ::close(ready[1]);
        char c = 0;
        const bool flooded = ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
        if (killed)
            ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(flooded) << "the flooding client failed, status " << status;
        // Stale input the simulator has not read yet is beyond its reach (the terminal's flush
        // does not clear it); what it read, answered and could not send is what must go.
        ASSERT_TRUE(sim.waitIdle(5000));

        ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK);
        for (int i = 0; i < 10; ++i) {
            std::uint16_t result = 0;
            EXPECT_EQ(command("$01F", result), "!01A1.07") << "command " << i;
            EXPECT_EQ(result, UARTCE_OK) << "command " << i;
        }
        EXPECT_EQ(DataSizeInCom(kPort), 0u) << "nothing more arrived";
        Close_Com(kPort);
    }
}

} // namespace
