// The simulator's Modbus slaves as a process: Debian's mbpoll as a master that shares no code
// with the project (RTU, which is all it speaks), and ASCII frames the test writes itself.

#include "support/Deadline.h"
#include "support/Program.h"
#include "support/SimProcess.h"
#include "support/TempTree.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <regex>
#include <sstream>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::SimProcess;

// mbpoll with the line settings every case shares, then the case's own arguments. -o 0.3: a
// slave that says nothing costs 0.3 s, not mbpoll's default second.
testsupport::Ran mbpoll(const SimProcess& sim, std::vector<std::string> args,
                        std::vector<std::string> values = {}) {
    std::vector<std::string> argv{MBPOLL_PATH, "-m", "rtu", "-b", "9600", "-o", "0.3"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(sim.device());
    argv.insert(argv.end(), values.begin(), values.end());
    return testsupport::run(argv, std::nullopt, 20s);
}

// The values mbpoll printed, "[ref]: <tab>value" a line, in order.
std::vector<long> printedValues(const std::string& out) {
    static const std::regex line(R"(^\[(\d+)\]:\s+(-?\d+))");
    std::vector<long> values;
    std::istringstream lines(out);
    for (std::string text; std::getline(lines, text);) {
        std::smatch m;
        if (std::regex_search(text, m, line))
            values.push_back(std::stol(m[2]));
    }
    return values;
}

std::string describe(const testsupport::Ran& r) {
    return "exit " + std::to_string(r.exit) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

class SimModbusProcess : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // A master that is not there is a failure, not a skip.
        ASSERT_EQ(::access(MBPOLL_PATH, X_OK), 0) << MBPOLL_PATH << " (scripts/setup-deps.sh)";
    }
};

TEST_F(SimModbusProcess, MbpollReadsEachTableOfEachSlave) {
    SimProcess sim(PORTULA_SIM_PATH, {"--modbus", "rtu", "--address", "1,5,17"});
    ASSERT_FALSE(sim.device().empty()) << "the simulator did not start";
    struct Case {
        std::vector<std::string> args;
        std::vector<long> values;
    };
    const Case cases[] = {
        // Holding registers: 100 * id + n at address n (reference n + 1), parity none.
        {.args = {"-P", "none", "-a", "1", "-t", "4", "-r", "1", "-c", "10", "-1"},
         .values = {100, 101, 102, 103, 104, 105, 106, 107, 108, 109}},
        // Input registers at the table's end: 10000 + 1700 + 990 onwards.
        {.args = {"-P", "none", "-a", "17", "-t", "3", "-r", "991", "-c", "10", "-1"},
         .values = {12690, 12691, 12692, 12693, 12694, 12695, 12696, 12697, 12698, 12699}},
        // Coils: on when n + id is a multiple of 3 (n = 1, 4, 7 for slave 5).
        {.args = {"-P", "none", "-a", "5", "-t", "0", "-r", "1", "-c", "9", "-1"},
         .values = {0, 1, 0, 0, 1, 0, 0, 1, 0}},
        // Discrete inputs: on when n + id is odd. mbpoll's own default parity, even, which a
        // pseudo-terminal cannot tell from none.
        {.args = {"-a", "5", "-t", "1", "-r", "1", "-c", "4", "-1"}, .values = {1, 0, 1, 0}},
    };
    for (const Case& c : cases) {
        const testsupport::Ran r = mbpoll(sim, c.args);
        EXPECT_EQ(r.exit, 0) << describe(r);
        EXPECT_EQ(printedValues(r.out), c.values) << describe(r);
    }
}

TEST_F(SimModbusProcess, MbpollWritesAndReadsBack) {
    SimProcess sim(PORTULA_SIM_PATH, {"--modbus", "rtu", "--address", "5"});
    ASSERT_FALSE(sim.device().empty());
    // Two registers (function 16), then one (function 6), then coils (function 15).
    testsupport::Ran r =
        mbpoll(sim, {"-P", "none", "-a", "5", "-t", "4", "-r", "3"}, {"7", "1234"});
    ASSERT_EQ(r.exit, 0) << describe(r);
    r = mbpoll(sim, {"-P", "none", "-a", "5", "-t", "4", "-r", "6"}, {"65535"});
    ASSERT_EQ(r.exit, 0) << describe(r);
    r = mbpoll(sim, {"-P", "none", "-a", "5", "-t", "0", "-r", "1"}, {"1", "0", "1"});
    ASSERT_EQ(r.exit, 0) << describe(r);
    r = mbpoll(sim, {"-P", "none", "-a", "5", "-t", "4", "-r", "1", "-c", "7", "-1"});
    EXPECT_EQ(printedValues(r.out), (std::vector<long>{500, 501, 7, 1234, 504, 65535, 506}))
        << describe(r);
    r = mbpoll(sim, {"-P", "none", "-a", "5", "-t", "0", "-r", "1", "-c", "5", "-1"});
    EXPECT_EQ(printedValues(r.out), (std::vector<long>{1, 0, 1, 0, 1})) << describe(r);
}

TEST_F(SimModbusProcess, MbpollReportsTheSlavesExceptionsAndSilence) {
    SimProcess sim(PORTULA_SIM_PATH, {"--modbus", "rtu", "--address", "1"});
    ASSERT_FALSE(sim.device().empty());
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* reported; // on standard error
        bool failing = true;  // mbpoll's exit status says so (-u's never does)
    };
    const Case cases[] = {
        {.name = "registers past the table",
         .args = {"-a", "1", "-t", "4", "-r", "1000", "-c", "2", "-1"},
         .reported = "Illegal data address"},
        // -u asks for the slave's id (function 17), which the slaves do not know.
        {.name = "an unknown function",
         .args = {"-a", "1", "-u"},
         .reported = "Illegal function",
         .failing = false},
        {.name = "a slave not on the line",
         .args = {"-a", "2", "-t", "4", "-r", "1", "-1"},
         .reported = "timed out"},
    };
    for (const Case& c : cases) {
        const testsupport::Ran r = mbpoll(sim, c.args);
        EXPECT_EQ(r.exit != 0, c.failing) << c.name << "\n" << describe(r);
        EXPECT_NE(r.err.find(c.reported), std::string::npos) << c.name << "\n" << describe(r);
        EXPECT_TRUE(printedValues(r.out).empty()) << c.name << "\n" << describe(r);
    }
}

TEST_F(SimModbusProcess, TheSlavesAnswerAtTheirOwnParityOnly) {
    SimProcess sim(PORTULA_SIM_PATH, {"--modbus", "rtu", "--parity", "odd"});
    ASSERT_FALSE(sim.device().empty());
    testsupport::Ran r = mbpoll(sim, {"-P", "odd", "-a", "1", "-t", "4", "-r", "2", "-1"});
    EXPECT_EQ(printedValues(r.out), std::vector<long>{101}) << describe(r);
    r = mbpoll(sim, {"-P", "even", "-a", "1", "-t", "4", "-r", "2", "-1"});
    EXPECT_TRUE(printedValues(r.out).empty()) << describe(r);
    EXPECT_NE(r.err.find("timed out"), std::string::npos) << describe(r);
}

TEST_F(SimModbusProcess, TheTruthFileHoldsEachRequestAndReply) {
    testsupport::TempTree tree;
    const std::string truth = tree.path("truth.jsonl");
    SimProcess sim(PORTULA_SIM_PATH, {"--modbus", "rtu", "--truth", truth});
    ASSERT_FALSE(sim.device().empty());
    const testsupport::Ran r = mbpoll(sim, {"-P", "none", "-a", "1", "-t", "4", "-r", "1", "-1"});
    ASSERT_EQ(printedValues(r.out), std::vector<long>{100}) << describe(r);
    // 01 03 00 00 00 01 84 0A, answered 01 03 02 00 64 ('d') B9 AF.
    const std::string heard =
        R"({"kind":"heard","mode":"rtu","command":"\u0001\u0003\u0000\u0000\u0000\u0001\u0084\u000A","heard_us":)";
    const std::string reply = R"("bytes":"\u0001\u0003\u0002\u0000d\u00B9\u00AF","start_us":)";
    // The simulator writes a reply's record once the reply is out, maybe after mbpoll read it.
    const testsupport::Deadline deadline(5s);
    std::string text;
    while (text.find(reply) == std::string::npos && deadline.remainingMs() > 0) {
        std::ifstream file(truth);
        text.assign(std::istreambuf_iterator<char>(file), {});
        pollfd none{-1, 0, 0};
        ::poll(&none, 0, 5); // the next look at the file
    }
    EXPECT_NE(text.find(heard), std::string::npos) << text;
    EXPECT_NE(text.find(R"({"kind":"reply","mode":"rtu")"), std::string::npos) << text;
    EXPECT_NE(text.find(reply), std::string::npos) << text;
}

// The test plays the ASCII master on the simulator's pseudo-terminal at 9600 8N1.
class AsciiMaster {
  public:
    explicit AsciiMaster(const std::string& device)
        : m_fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        termios t{};
        if (m_fd < 0 || ::tcgetattr(m_fd, &t) != 0)
            return;
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, B9600);
        ::tcsetattr(m_fd, TCSANOW, &t);
    }
    ~AsciiMaster() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    AsciiMaster(const AsciiMaster&) = delete;
    AsciiMaster& operator=(const AsciiMaster&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    bool send(const std::string& bytes) const {
        return ::write(m_fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // What comes back until `frames` CR LFs have, or the deadline passes.
    std::string receive(int frames, std::chrono::milliseconds within) const {
        const testsupport::Deadline deadline(within);
        std::string got;
        int ends = 0;
        while (ends < frames) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, deadline.remainingMs()) <= 0)
                break;
            char buffer[256];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n; ++i) {
                got.push_back(buffer[i]);
                ends += got.ends_with("\r\n");
            }
        }
        return got;
    }

  private:
    int m_fd;
};

TEST_F(SimModbusProcess, AsciiFramesEndAtCrLfAndBadOnesAreIgnored) {
    SimProcess sim(PORTULA_SIM_PATH, {"--modbus", "ascii", "--address", "1,17"});
    ASSERT_FALSE(sim.device().empty());
    AsciiMaster master(sim.device());
    ASSERT_TRUE(master.isOpen());
    // Read holding registers 0 and 1 of slave 1; a frame with its LRC wrong (FB for FA); write
    // register 2 of slave 17 (0x1111); read it back with an exception after it (address 1000).
    ASSERT_TRUE(master.send(":010300000002FA\r\n"));
    ASSERT_TRUE(master.send(":010300000002FB\r\n"));
    ASSERT_TRUE(master.send(":110600021111C5\r\n"));
    ASSERT_TRUE(master.send(":110300010002E9\r\n:110303E8000100\r\n"));
    EXPECT_EQ(master.receive(4, 5s), ":010304006400652F\r\n"
                                     ":110600021111C5\r\n"
                                     ":11030406A511111B\r\n"
                                     ":1183026A\r\n");
}

} // namespace
