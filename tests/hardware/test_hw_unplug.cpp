// The FTDI adapter unplugged while a port is open on it, and plugged back into the same USB
// socket or another: through the C API, portula-cmd and the dialog.

#include "DialogHarness.h"
#include "GuestRig.h"
#include "RigDevices.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <uartce.h>

namespace {

using namespace std::chrono_literals;
using rig::Clock;

int plugged = 1; // the socket the adapter is in, as this program last put it

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

bool gone() {
    return !rig::exists(rig::kAdapterNode) && !rig::exists(rig::kAdapterById);
}
bool back() {
    return rig::linkTarget(rig::kAdapterById) == rig::kAdapterNode;
}

// Puts the adapter back into the same socket or the other one.
void replug(bool sameSocket) {
    const int socket = sameSocket ? plugged : 3 - plugged;
    ASSERT_EQ(rig::ask("plug " + std::to_string(socket)), "ok");
    plugged = socket;
}

// The host unplugs the adapter while this call waits for a reply that would take 5 s.
void unplugDuringACommand(std::uint8_t port) {
    char reply[UARTCE_REPLY_BUFFER_SIZE];
    rig::send("unplug 300");
    const auto start = Clock::now();
    EXPECT_EQ(Send_Receive_Cmd(port, "$09M", reply, 5000, 0, nullptr), UARTCE_ERR_HANGUP);
    EXPECT_LT(msSince(start), 3000) << "the call waited for its time-out";
    ASSERT_EQ(rig::answer(), "ok");
}

struct Replug {
    const char* name;
    bool byPlainPath; // /dev/ttyUSB0 rather than the by-id name
    bool sameSocket;
};

std::string nameOf(const testing::TestParamInfo<Replug>& info) {
    return info.param.name;
}

class Unplug : public testing::TestWithParam<Replug> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(rig::waitUntil(back, 10s)) << "the adapter is not plugged in";
        if (GetParam().byPlainPath)
            ::setenv("UARTCE_COM5", rig::kAdapterNode, 1);
        port = GetParam().byPlainPath ? 5 : 3;
    }
    void TearDown() override {
        Close_Com(port);
        ::unsetenv("UARTCE_COM5");
        if (gone())
            replug(true);
    }
    std::uint8_t port = 3;
};

TEST_P(Unplug, HangsUpAtOnceAndGoesOnWhenTheAdapterReturns) {
    char reply[UARTCE_REPLY_BUFFER_SIZE];
    ASSERT_EQ(Open_Com(port, 9600, 8, 0, 1), UARTCE_OK);
    ASSERT_EQ(Send_Receive_Cmd(port, "$01M", reply, 500, 0, nullptr), UARTCE_OK);

    unplugDuringACommand(port);
    ASSERT_TRUE(rig::waitUntil(gone, 5s));
    // While it is away every call answers at once, and the dead node is let go.
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(Send_Receive_Cmd(port, "$01M", reply, 500, 0, nullptr), UARTCE_ERR_HANGUP);
    EXPECT_LT(msSince(start), 500) << "20 calls on a hung-up port";
    EXPECT_EQ(rig::descriptorsOn(rig::kAdapterNode), 0) << "a descriptor is left on the dead node";

    replug(GetParam().sameSocket);
    EXPECT_TRUE(rig::waitUntil(
        [&] { return Send_Receive_Cmd(port, "$01M", reply, 300, 0, nullptr) == UARTCE_OK; }, 15s))
        << "the exchange did not go on by itself";
    EXPECT_STREQ(reply, "!01PORTULA-SIM");
    // By the plain path the port may be back before udev has made the by-id name.
    EXPECT_TRUE(rig::waitUntil(back, 10s))
        << "the adapter came back as " << rig::linkTarget(rig::kAdapterById);
}

INSTANTIATE_TEST_SUITE_P(ByIdAndPlainPath, Unplug,
                         testing::Values(Replug{"by_id_same_socket", false, true},
                                         Replug{"by_id_other_socket", false, false},
                                         Replug{"plain_path_same_socket", true, true},
                                         Replug{"plain_path_other_socket", true, false}),
                         nameOf);

// portula-cmd reading commands from its input, as a script would drive it: a hang-up ends the
// run with status 14 at once, and the next run finds the adapter by either name.
TEST(UnplugCmd, ACommandHangsUpAndTheNextRunFindsTheAdapter) {
    ASSERT_TRUE(rig::waitUntil(back, 10s));
    rig::Program cmd({PORTULA_CMD_PATH, "-p", "COM3", "--timeout", "5000"});
    cmd.writeLine("$01M");
    ASSERT_EQ(cmd.readLine(10s).value_or("(nothing)"), "!01PORTULA-SIM") << cmd.errors();

    rig::send("unplug 300");
    const auto start = Clock::now();
    cmd.writeLine("$09M");
    EXPECT_EQ(cmd.wait(3s).value_or(-1), 14) << cmd.errors();
    EXPECT_LT(msSince(start), 3000) << "the command waited for its time-out";
    EXPECT_NE(cmd.errors().find("$09M: the device hung up (status 14)"), std::string::npos)
        << cmd.errors();
    ASSERT_EQ(rig::answer(), "ok");
    ASSERT_TRUE(rig::waitUntil(gone, 5s));

    replug(false);
    ASSERT_TRUE(rig::waitUntil(back, 10s));
    for (const char* name : {"COM3", rig::kAdapterById, rig::kAdapterNode}) {
        const rig::Finished r = rig::runToEnd({PORTULA_CMD_PATH, "-p", name, "$01M"});
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        EXPECT_EQ(r.out, "!01PORTULA-SIM\n") << name;
    }
}

class UnplugDialog : public testsupport::DialogTest {
  protected:
    void TearDown() override {
        if (dlg && enabled(IDC_STOP))
            click(IDC_STOP);
        if (dlg && enabled(IDC_CLOSE_COM))
            click(IDC_CLOSE_COM);
        DialogTest::TearDown();
        if (gone())
            replug(true);
    }
    bool shows(const QString& expected, int withinMs) {
        return QTest::qWaitFor([&] { return shown(IDC_RECEIVE_TEXT) == expected; }, withinMs);
    }
};

TEST_F(UnplugDialog, AutomaticSendingShowsTheHangUpAndGoesOnAfterTheReturn) {
    ASSERT_TRUE(rig::waitUntil(back, 10s));
    choose(IDC_PORT_LIST, 2); // COM3, the adapter
    choose(IDC_BAUD_LIST, 3); // 9600
    click(IDC_OPEN_COM);
    ASSERT_TRUE(enabled(IDC_START)) << dlg->GetDlgItem(IDC_OPEN_COM)->toolTip().toStdString();
    setText(IDC_INTERVAL, "100");
    click(IDC_SET);
    click(IDC_START);
    ASSERT_TRUE(shows("!01PORTULA-SIM", 5000)) << shown(IDC_RECEIVE_TEXT).toStdString();

    // The host answers once the adapter is gone; the dialog keeps sending meanwhile.
    rig::send("unplug");
    EXPECT_TRUE(shows("Err_Code = 14", 3000)) << shown(IDC_RECEIVE_TEXT).toStdString();
    EXPECT_EQ(rig::answer(), "ok");
    EXPECT_TRUE(enabled(IDC_STOP)) << "the dialog keeps sending as it was";
    ASSERT_TRUE(rig::waitUntil(gone, 5s));

    // Ten sends a second to a missing adapter must cost next to nothing.
    const double cpuBefore = rig::cpuSeconds();
    const auto start = Clock::now();
    QTest::qWait(1500); // the window the CPU is measured over, with the dialog's timer running
    const double share =
        (rig::cpuSeconds() - cpuBefore) / (static_cast<double>(msSince(start)) / 1000.0);
    RecordProperty("cpu_percent_while_unplugged", static_cast<int>(share * 100 + 0.5));
    EXPECT_LT(share, 0.3) << "the unplugged dialog used " << share * 100 << " % of a CPU";
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "Err_Code = 14");
    EXPECT_EQ(rig::descriptorsOn(rig::kAdapterNode), 0);

    replug(false);
    EXPECT_TRUE(shows("!01PORTULA-SIM", 15000)) << shown(IDC_RECEIVE_TEXT).toStdString();
    EXPECT_TRUE(rig::waitUntil(back, 10s))
        << "the adapter came back as " << rig::linkTarget(rig::kAdapterById);
}

} // namespace
