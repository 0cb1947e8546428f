// The exclusive hold on a real tty against a second program, and its end however the holder ends.

#include "GuestRig.h"

#include <csignal>
#include <gtest/gtest.h>
#include <uartce.h>

namespace {

using namespace std::chrono_literals;

enum class End { CloseCom, InputEnds, Killed, Terminated };

struct Hold {
    const char* name;
    unsigned com;
    End end;
};

std::string nameOf(const testing::TestParamInfo<Hold>& info) {
    return info.param.name;
}

std::string comName(unsigned com) {
    return "COM" + std::to_string(com);
}

bool exchanges(std::uint8_t port) {
    char reply[UARTCE_REPLY_BUFFER_SIZE];
    return Send_Receive_Cmd(port, "$01M", reply, 500, 0, nullptr) == UARTCE_OK &&
           std::string(reply) == "!01PORTULA-SIM";
}

class ExclusiveHold : public testing::TestWithParam<Hold> {
  protected:
    void TearDown() override { Close_Com(static_cast<std::uint8_t>(GetParam().com)); }
};

// This process holds the port; portula-cmd is the second program, refused until Close_Com.
TEST_P(ExclusiveHold, EndsWithItsHolder) {
    const Hold& h = GetParam();
    const auto port = static_cast<std::uint8_t>(h.com);
    if (h.end == End::CloseCom) {
        ASSERT_EQ(Open_Com(port, 9600, 8, 0, 1), UARTCE_OK);
        const rig::Finished refused =
            rig::runToEnd({PORTULA_CMD_PATH, "-p", comName(h.com), "$01M"});
        EXPECT_EQ(refused.status, 6) << refused.err;
        EXPECT_NE(refused.err.find("another program holds it"), std::string::npos) << refused.err;
        ASSERT_EQ(Close_Com(port), UARTCE_OK);
        const rig::Finished after = rig::runToEnd({PORTULA_CMD_PATH, "-p", comName(h.com), "$01M"});
        EXPECT_EQ(after.status, 0) << after.err;
        EXPECT_EQ(after.out, "!01PORTULA-SIM\n");
        return;
    }
    // portula-cmd holds it, reading commands from its input; its answer shows it has the port.
    rig::Program holder({PORTULA_CMD_PATH, "-p", comName(h.com)});
    holder.writeLine("$01M");
    ASSERT_EQ(holder.readLine(10s).value_or("(nothing)"), "!01PORTULA-SIM") << holder.errors();
    EXPECT_EQ(Open_Com(port, 9600, 8, 0, 1), UARTCE_ERR_BUSY);
    switch (h.end) {
    case End::InputEnds:
        holder.closeInput();
        EXPECT_EQ(holder.wait(10s).value_or(-1), 0) << holder.errors();
        break;
    case End::Killed:
        holder.signal(SIGKILL);
        EXPECT_EQ(holder.wait(10s).value_or(-1), 128 + SIGKILL);
        break;
    case End::Terminated:
        holder.signal(SIGTERM);
        EXPECT_EQ(holder.wait(10s).value_or(-1), 128 + SIGTERM);
        break;
    case End::CloseCom:
        break;
    }
    ASSERT_EQ(Open_Com(port, 9600, 8, 0, 1), UARTCE_OK) << "the hold outlived its holder";
    EXPECT_TRUE(exchanges(port));
}

INSTANTIATE_TEST_SUITE_P(BothDrivers, ExclusiveHold,
                         testing::Values(Hold{"uart_close_com", 2, End::CloseCom},
                                         Hold{"uart_input_ends", 2, End::InputEnds},
                                         Hold{"uart_killed", 2, End::Killed},
                                         Hold{"uart_terminated", 2, End::Terminated},
                                         Hold{"adapter_close_com", 3, End::CloseCom},
                                         Hold{"adapter_input_ends", 3, End::InputEnds},
                                         Hold{"adapter_killed", 3, End::Killed},
                                         Hold{"adapter_terminated", 3, End::Terminated}),
                         nameOf);

} // namespace
