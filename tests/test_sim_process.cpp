// The simulator as a process, reached through the serial library.

#include "support/AsUser.h"
#include "support/SimProcess.h"

#include <uartce.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

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
    static std::string command(const char* text, std::uint16_t& status, bool checksum = false,
                               std::uint16_t timeoutMs = 1000) {
        std::array<char, UARTCE_REPLY_BUFFER_SIZE> reply{};
        std::uint32_t length = 0;
        status = Send_Receive_Cmd(kPort, text, reply.data(), timeoutMs, checksum ? 1 : 0, &length);
        return std::string(reply.data(), length);
    }
    // What arrives up to a CR (included), read as the library hands it over; each read that
    // brought something is one piece. Gives up at the deadline.
    static std::string receiveLine(int withinMs, int* pieces = nullptr) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(withinMs);
        std::string got;
        while (got.find('\r') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            std::array<char, UARTCE_RECEIVE_BUFFER_SIZE> chunk{};
            std::uint32_t n = 0;
            if (Receive_Cmd(kPort, chunk.data(), 0, 0, &n) != UARTCE_OK)
                break;
            if (n == 0) {
                pollfd none{-1, 0, 0};
                ::poll(&none, 0, 1); // the next look, not a wait for the result
                continue;
            }
            got.append(chunk.data(), n);
            if (pieces)
                ++*pieces;
        }
        return got;
    }
};

const std::string kName = "!01PORTULA-SIM";

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
        {.command = "$01M", .status = UARTCE_OK, .reply = "!01PORTULA-SIM-01"},
        {.command = "$7FM", .status = UARTCE_OK, .reply = "!7FPORTULA-SIM-7F"},
        {.command = "$C0M", .status = UARTCE_OK, .reply = "!C0PORTULA-SIM-C0"},
        {.command = "$02M", .status = UARTCE_ERR_NO_REPLY, .reply = ""},
        {.command = "$c0F", .status = UARTCE_OK, .reply = "!C0A1.07"},
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
        testsupport::Child flooder(
            [killed](int ready) {
                if (Open_Com(kPort, 9600, 8, 0, 1) != UARTCE_OK)
                    return 3;
                static const char flood[] = "$01M\r$01M\r$01M\r$01M\r";
                for (int i = 0; i < 500; ++i)
                    if (Send_Binary(kPort, flood, sizeof flood - 1) != UARTCE_OK)
                        return 4;
                if (::write(ready, "x", 1) != 1)
                    return 5;
                if (!killed) {
                    Close_Com(kPort);
                    return 0;
                }
                for (;;)
                    Send_Binary(kPort, flood, sizeof flood - 1);
            },
            testsupport::Privileges::Keep);
        const bool flooded = flooder.waitReady(30s);
        if (killed)
            flooder.signal(SIGKILL);
        const testsupport::ChildResult ended = flooder.finish(30s);
        ASSERT_TRUE(flooded) << "the flooding client failed, exit " << ended.exitCode << ": "
                             << ended.stderrText;
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

// A line that misbehaves, and what the library makes of it: the echo is left out, a garbled
// echo is no answer, and a collision's garbage passes only where nothing can tell it (without a
// checksum); with one, the checksum fails.
TEST_F(SimProcessTest, AMisbehavingLineGivesNoWrongAnswer) {
    struct Case {
        std::vector<std::string> args;
        bool checksum;
        std::uint16_t status;
        std::string reply; // to "$01M", as the library gives it
        std::string rest;  // what comes after it
    };
    const Case cases[] = {
        {.args = {"--line-echo"},
         .checksum = false,
         .status = UARTCE_OK,
         .reply = kName,
         .rest = ""},
        {.args = {"--line-echo", "--garble-echo", "1"},
         .checksum = false,
         .status = UARTCE_ERR_GARBLED_ECHO,
         .reply = "",
         .rest = kName + "\r"},
        {.args = {"--collide"},
         .checksum = false,
         .status = UARTCE_OK,
         .reply = "!01PORTULA-PAI\x0C",
         .rest = ""},
        {.args = {"--collide", "--checksum"},
         .checksum = true,
         .status = UARTCE_ERR_CHECKSUM,
         .reply = "",
         .rest = ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
        SimProcess sim(PORTULA_SIM_PATH, c.args);
        attach(sim);
        ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK);
        std::uint16_t status = 0;
        const std::string reply = command("$01M", status, c.checksum);
        EXPECT_EQ(status, c.status);
        if (c.status != UARTCE_ERR_CHECKSUM) {
            EXPECT_EQ(reply, c.reply);
        }
        if (!c.rest.empty()) {
            EXPECT_EQ(receiveLine(2000), c.rest);
        }
        ASSERT_TRUE(sim.waitIdle(5000));
        EXPECT_EQ(DataSizeInCom(kPort), 0u) << "nothing more arrived";
        Close_Com(kPort);
    }
}

TEST_F(SimProcessTest, AReplyStraddlesTheAdaptersBatches) {
    // 1200 baud: the 15 bytes of a reply take 125 ms on the wire, handed on every 10 ms.
    SimProcess sim(PORTULA_SIM_PATH, {"--baud", "1200", "--wire-pace", "--batch-ms", "10"});
    attach(sim);
    ASSERT_EQ(Open_Com(kPort, 1200, 8, 0, 1), UARTCE_OK);
    std::uint16_t status = 0;
    EXPECT_EQ(command("$01M", status), kName) << "the terminal puts the pieces together";
    EXPECT_EQ(status, UARTCE_OK);
    ASSERT_EQ(Send_Binary(kPort, "$01F\r", 5), UARTCE_OK);
    int pieces = 0;
    EXPECT_EQ(receiveLine(3000, &pieces), "!01A1.07\r");
    EXPECT_GE(pieces, 2) << "the reply came in one piece";
}

// A module that keeps its late reply, as a real one does whatever the terminal flushes: the
// reply comes while the next command waits, and is dropped as late, not taken for its answer.
TEST_F(SimProcessTest, ALateReplyDoesNotAnswerTheNextCommand) {
    for (const bool keep : {false, true}) {
        SCOPED_TRACE(keep ? "kept" : "dropped on flush");
        std::vector<std::string> args{"--late-every", "2", "--late-ms", "150"};
        if (keep)
            args.push_back("--keep-replies");
        SimProcess sim(PORTULA_SIM_PATH, args);
        attach(sim);
        ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK);
        std::uint16_t status = 0;
        EXPECT_EQ(command("$01M", status), kName);
        EXPECT_EQ(command("$01F", status, false, 100), "");
        EXPECT_EQ(status, UARTCE_ERR_NO_REPLY) << "the second reply is 150 ms late";
        EXPECT_EQ(command("$01M", status, false, 3000), kName);
        EXPECT_EQ(status, UARTCE_OK);
        uartce_drops drops{};
        drops.size = sizeof drops;
        ASSERT_EQ(UARTCE_Drops(kPort, &drops), UARTCE_OK);
        // The library listens before it empties the line, so the reply is seen either way.
        EXPECT_EQ(drops.late, 1u);
        EXPECT_STREQ(drops.lastBytes, "!01A1.07\r");
        Close_Com(kPort);
    }
}

// One line of the simulator's truth file: its strings decoded (each \u00NN one byte), its
// numbers as they are; empty when the line is not a flat JSON object.
std::map<std::string, std::string> parseTruthLine(const std::string& line) {
    std::map<std::string, std::string> fields;
    std::size_t i = 0;
    const auto string = [&](std::string& out) {
        if (i >= line.size() || line[i] != '"')
            return false;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] != '\\') {
                out.push_back(line[i]);
            } else if (line.compare(i, 4, "\\u00") == 0 && i + 6 <= line.size()) {
                out.push_back(static_cast<char>(std::stoi(line.substr(i + 4, 2), nullptr, 16)));
                i += 5;
            } else if (++i < line.size()) {
                out.push_back(line[i]);
            }
        }
        return i++ < line.size();
    };
    if (line.empty() || line.front() != '{' || line.back() != '}')
        return {};
    for (i = 1; i < line.size() - 1;) {
        std::string key, value;
        if (!string(key) || line[i++] != ':')
            return {};
        if (line[i] == '"') {
            if (!string(value))
                return {};
        } else {
            while (i < line.size() - 1 && line[i] != ',')
                value.push_back(line[i++]);
        }
        fields[key] = value;
        if (line[i] == ',')
            ++i;
    }
    return fields;
}

std::vector<std::map<std::string, std::string>> readTruth(const std::string& path) {
    std::vector<std::map<std::string, std::string>> records;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        records.push_back(parseTruthLine(line));
    return records;
}

long long usNow() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The simulator's own record of the line, read as another program on the machine would, against
// what this test sent and received, and when by the same clock.
TEST_F(SimProcessTest, TheTruthFileRecordsTheLineAsItWas) {
    const std::string path =
        ::testing::TempDir() + "portula-sim-truth-" + std::to_string(::getpid()) + ".jsonl";
    {
        std::ofstream before(path, std::ios::trunc);
        before << "{\"kind\":\"earlier\"}\n"; // the file is appended to, not replaced
    }
    // 1200 baud: a reply of 15 bytes takes 125 ms on the wire.
    SimProcess sim(PORTULA_SIM_PATH,
                   {"--truth", path, "--baud", "1200", "--wire-pace", "--line-echo"});
    attach(sim);
    std::uint16_t status = 0;
    // At the wrong speed the modules cannot make the command out; the line still echoes it.
    ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK);
    EXPECT_EQ(command("$01M", status, false, 300), "");
    ASSERT_TRUE(sim.waitIdle(5000));
    Close_Com(kPort);

    ASSERT_EQ(Open_Com(kPort, 1200, 8, 0, 1), UARTCE_OK);
    const long long sent = usNow();
    EXPECT_EQ(command("$01M", status, false, 3000), kName);
    const long long received = usNow();
    const std::string first = command("#01", status, false, 3000);
    const std::string second = command("#01", status, false, 3000);
    EXPECT_EQ(first, ">+00.001");
    EXPECT_EQ(second, ">+00.002");

    // earlier; heard, echo (unheard $01M); heard, echo, reply for each of the three others
    constexpr std::size_t kLines = 1 + 2 + 3 * 3;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::vector<std::map<std::string, std::string>> truth;
    while ((truth = readTruth(path)).size() < kLines && std::chrono::steady_clock::now() < deadline)
        ASSERT_TRUE(sim.waitIdle(5000));
    ::unlink(path.c_str());
    ASSERT_EQ(truth.size(), kLines);
    for (const auto& record : truth)
        ASSERT_FALSE(record.empty()) << "a line that is not a JSON object";
    EXPECT_EQ(truth[0].at("kind"), "earlier");

    const auto expectKinds = [&](std::size_t from, std::vector<std::string> kinds) {
        for (std::size_t k = 0; k < kinds.size(); ++k)
            EXPECT_EQ(truth[from + k].at("kind"), kinds[k]) << "line " << from + k;
    };
    expectKinds(1, {"heard", "echo", "heard", "echo", "reply", "heard", "echo", "reply", "heard",
                    "echo", "reply"});
    EXPECT_EQ(truth[1].at("command"), "$01M");
    EXPECT_EQ(truth[1].count("understood") ? truth[1].at("understood") : "", "false");
    EXPECT_EQ(truth[2].at("bytes"), "$01M\r") << "the echo comes back at any speed";
    EXPECT_EQ(truth[3].count("understood"), 0u);

    const auto& heard = truth[3];
    const auto& echo = truth[4];
    const auto& reply = truth[5];
    for (const auto* r : {&heard, &echo, &reply})
        EXPECT_EQ(r->at("command"), "$01M");
    EXPECT_EQ(echo.at("bytes"), "$01M\r");
    EXPECT_EQ(reply.at("bytes"), kName + "\r");
    EXPECT_EQ(reply.count("cut"), 0u);
    const long long heardUs = std::stoll(heard.at("heard_us"));
    const long long startUs = std::stoll(reply.at("start_us"));
    const long long endUs = std::stoll(reply.at("end_us"));
    EXPECT_EQ(std::stoll(reply.at("heard_us")), heardUs);
    EXPECT_LE(sent, heardUs);
    EXPECT_LE(heardUs, std::stoll(echo.at("end_us")));
    EXPECT_LE(std::stoll(echo.at("end_us")), startUs);
    EXPECT_LE(endUs, received) << "the last byte was written before the terminal had it";
    // the first byte is written once through the wire, the last 14 bytes' time later
    EXPECT_GE(endUs - startUs, 100'000);
    EXPECT_GE(startUs - heardUs, 8'000);

    EXPECT_EQ(truth[8].at("bytes"), first + "\r");
    EXPECT_EQ(truth[11].at("bytes"), second + "\r");
    EXPECT_EQ(truth[11].at("command"), "#01");
}

} // namespace
