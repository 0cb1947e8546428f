// The library's transaction trace: its line format, and the trace of a dialog session.

#include "DialogHarness.h"
#include "Trace.h"
#include "support/AsUser.h"
#include "support/Program.h"
#include "support/PseudoTerminal.h"
#include "support/SimProcess.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <uartce.h>
#include <unistd.h>

using testsupport::DialogTest;
using testsupport::SimProcess;

namespace {

std::string recordWith(std::string_view out, std::string_view in) {
    return uartce::trace::formatRecord({1700000000123456, 2, "Send_Receive_Cmd", out, in, 0, 815});
}

TEST(TraceFormat, EscapesEveryByteThatIsNotPlainText) {
    struct Case {
        std::string bytes;
        const char* escaped; // as the JSON text shows it
    };
    const Case cases[] = {
        {.bytes = "$01M\r", .escaped = R"($01M\u000D)"},
        {.bytes = std::string("a\0b", 3), .escaped = R"(a\u0000b)"},
        {.bytes = "say \"hi\"", .escaped = R"(say \"hi\")"},
        {.bytes = "back\\slash", .escaped = R"(back\\slash)"},
        {.bytes = "\x7F\xFF\x80", .escaped = R"(\u007F\u00FF\u0080)"},
        {.bytes = "\t\n\x1B", .escaped = R"(\u0009\u000A\u001B)"},
        {.bytes = "", .escaped = ""},
    };
    for (const Case& c : cases) {
        const std::string line = recordWith(c.bytes, {});
        EXPECT_NE(line.find(std::string("\"out\":\"") + c.escaped + "\""), std::string::npos)
            << line;
    }
}

TEST(TraceFormat, OneLineWithTimeInMicrosecondsAndEveryField) {
    EXPECT_EQ(recordWith("$01M\r", "!01X"),
              "{\"time\":\"2023-11-14T22:13:20.123456Z\",\"port\":2,\"call\":\"Send_Receive_Cmd\","
              "\"out\":\"$01M\\u000D\",\"in\":\"!01X\",\"status\":0,\"us\":815}\n");
}

#ifdef PORTULA_JQ_PATH
// jq reads every line back to the bytes that went in: each byte is the code point of its value.
TEST(TraceFormat, JqReadsTheLines) {
    char path[] = "/tmp/portula-trace-jq-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string all;
    std::string expected;
    for (int b = 0; b < 256; b += 15) {
        const std::string out = std::string(1, static_cast<char>(b)) + "\"\\\x7F";
        all += recordWith(out, "\xFF");
        for (const unsigned char c : out)
            expected += std::to_string(c) + ",";
        expected += "|255\n";
    }
    ASSERT_EQ(::write(fd, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    ::close(fd);
    const std::string command = std::string(PORTULA_JQ_PATH) +
                                " -r '(.out | explode | map(tostring + \",\") | add) + \"|\" + "
                                "(.in | explode | map(tostring) | add)' " +
                                path;
    const testsupport::Ran jq = testsupport::runShell(command);
    const std::string& got = jq.out;
    EXPECT_EQ(jq.exit, 0) << jq.err;
    ::unlink(path);
    EXPECT_EQ(got, expected);
}
#endif

class TraceSessionTest : public DialogTest {
  protected:
    void TearDown() override {
        DialogTest::TearDown();
        UARTCE_SetTrace(nullptr);
        ::unsetenv("UARTCE_COM2");
        ::unlink(path.c_str());
    }
    std::string path = "/tmp/portula-trace-test-" + std::to_string(::getpid()) + ".jsonl";
};

// The dialog's commands and the module's replies all show in the trace, in order.
TEST_F(TraceSessionTest, RecordsEveryCommandAndReplyOfADialogSession) {
    SimProcess sim(PORTULA_SIM_PATH, {});
    ASSERT_FALSE(sim.device().empty());
    ::setenv("UARTCE_COM2", sim.device().c_str(), 1);
    UARTCE_SetTrace(path.c_str());
    click(IDC_OPEN_COM);
    for (const char* command : {"$01M", "$01F", "$02M"}) {
        setText(IDC_SEND_TEXT, command);
        click(IDC_SEND_MESSAGE);
    }
    click(IDC_CLOSE_COM);
    // A command on a closed port puts nothing on the line, and the trace says so.
    char reply[UARTCE_REPLY_BUFFER_SIZE];
    Send_Receive_Cmd(2, "$01M", reply, 200, 0, nullptr);

    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    const std::vector<std::string> expected = {
        R"("port":2,"call":"Open_Com","out":"","in":"","status":0,)",
        R"("port":2,"call":"Send_Receive_Cmd","out":"$01M\u000D","in":"!01PORTULA-SIM","status":0,)",
        R"("port":2,"call":"Send_Receive_Cmd","out":"$01F\u000D","in":"!01A1.07","status":0,)",
        R"("port":2,"call":"Send_Receive_Cmd","out":"$02M\u000D","in":"","status":10,)",
        R"("port":2,"call":"Close_Com","out":"","in":"","status":0,)",
        R"("port":2,"call":"Send_Receive_Cmd","out":"","in":"","status":8,)",
    };
    ASSERT_EQ(lines.size(), expected.size()) << testing::PrintToString(lines);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].rfind("{\"time\":\"20", 0), 0u) << lines[i];
    }
}

// Where a trace may go, and what becomes of the exchange when it cannot take more. Each case
// runs in a child of its own (a file-size limit, a held FIFO), which must end well within its
// time: a trace that blocks would hold it until it is killed.
TEST(TraceSinks, ATraceNeverHoldsTheExchange) {
    const std::string dir = "/tmp/portula-trace-sinks-" + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::string path;
        bool heldFifo;       // a reader holds the FIFO open and never reads
        rlim_t fileLimit;    // RLIMIT_FSIZE in the child, or RLIM_INFINITY
        bool taken;          // UARTCE_SetTrace accepts the path
        const char* said;    // on standard error
        const char* dropped; // the count said at the end, or null for none
    };
    const Case cases[] = {
        {.name = "FifoWithoutReader",
         .path = fifo,
         .heldFifo = false,
         .fileLimit = RLIM_INFINITY,
         .taken = false,
         .said = "is a FIFO, not a regular file or a character device",
         .dropped = nullptr},
        {.name = "FifoWhoseReaderStopped",
         .path = fifo,
         .heldFifo = true,
         .fileLimit = RLIM_INFINITY,
         .taken = false,
         .said = "is a FIFO, not a regular file or a character device",
         .dropped = nullptr},
        {.name = "Directory",
         .path = dir,
         .heldFifo = false,
         .fileLimit = RLIM_INFINITY,
         .taken = false,
         .said = "cannot write the trace",
         .dropped = nullptr},
        {.name = "FullDevice",
         .path = "/dev/full",
         .heldFifo = false,
         .fileLimit = RLIM_INFINITY,
         .taken = true,
         .said = "could not take a line (No space left on device)",
         .dropped = "22 trace lines were dropped"},
        {.name = "FileSizeLimit",
         .path = dir + "/limited.jsonl",
         .heldFifo = false,
         .fileLimit = 400,
         .taken = true,
         .said = "could not take a line (File too large)",
         .dropped = "trace lines were dropped"},
        {.name = "NullDevice",
         .path = "/dev/null",
         .heldFifo = false,
         .fileLimit = RLIM_INFINITY,
         .taken = true,
         .said = "",
         .dropped = nullptr},
    };
    for (const Case& c : cases) {
        int reader = -1;
        if (c.heldFifo)
            reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        testsupport::Child child(
            [&c](int) {
                if (c.fileLimit != RLIM_INFINITY) {
                    const rlimit limit{c.fileLimit, c.fileLimit};
                    ::setrlimit(RLIMIT_FSIZE, &limit);
                }
                const bool taken = UARTCE_SetTrace(c.path.c_str()) == UARTCE_OK;
                testsupport::PseudoTerminal pty;
                ::setenv("UARTCE_COM4", pty.path().c_str(), 1);
                int failed = 0;
                failed += Open_Com(4, 9600, 8, 0, 1) != UARTCE_OK;
                for (int i = 0; i < 20; ++i)
                    failed += Send_Binary(4, "$01M\r", 5) != UARTCE_OK;
                failed += Close_Com(4) != UARTCE_OK;
                UARTCE_SetTrace(nullptr); // says how many lines were lost, as the end would
                return (taken ? 10 : 0) + (failed > 0 ? 1 : 0);
            },
            testsupport::Privileges::Keep);
        const testsupport::ChildResult r = child.finish(std::chrono::seconds(10));
        if (reader >= 0)
            ::close(reader);
        EXPECT_TRUE(r.exited) << c.name << " ended by signal " << r.signal;
        EXPECT_EQ(r.exitCode, c.taken ? 10 : 0) << c.name << ": " << r.stderrText;
        EXPECT_NE(r.stderrText.find(c.said), std::string::npos) << c.name << ": " << r.stderrText;
        // The loss is said once, however many lines were lost, and counted at the end.
        const auto lossLines = [&](const char* text) {
            std::size_t n = 0;
            for (std::size_t at = 0; (at = r.stderrText.find(text, at)) != std::string::npos; ++at)
                ++n;
            return n;
        };
        EXPECT_EQ(lossLines("could not take a line"), c.dropped ? 1u : 0u) << c.name;
        if (c.dropped) {
            EXPECT_NE(r.stderrText.find(c.dropped), std::string::npos)
                << c.name << ": " << r.stderrText;
        }
    }
    // Under the size limit the file holds whole lines only.
    std::ifstream limited(dir + "/limited.jsonl", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(limited)),
                           std::istreambuf_iterator<char>());
    EXPECT_GT(text.size(), 0u);
    EXPECT_LE(text.size(), 400u);
    EXPECT_EQ(text.back(), '\n');
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        EXPECT_EQ(text.substr(end - 1, 1), "}") << text;
    std::remove((dir + "/limited.jsonl").c_str());
    std::remove(fifo.c_str());
    ::rmdir(dir.c_str());
}

} // namespace

namespace {

// The trace's "out" is what went on the line, taken where the library writes: nothing for a
// call refused before writing, part of a frame for a write the line stopped taking.
TEST(TraceOut, RecordsWhatWentOnTheLine) {
    const std::string path = "/tmp/portula-trace-out-" + std::to_string(::getpid()) + ".jsonl";
    testsupport::Child child(
        [&path](int) {
            if (UARTCE_SetTrace(path.c_str()) != UARTCE_OK)
                return 1;
            auto pty = std::make_unique<testsupport::PseudoTerminal>();
            ::setenv("UARTCE_COM4", pty->path().c_str(), 1);
            if (Open_Com(4, 9600, 8, 0, 1) != UARTCE_OK)
                return 2;
            // Nobody reads the far end: the line takes a few kilobytes and then nothing.
            const std::string flood(1 << 20, 'x');
            const std::uint16_t stalled =
                Send_Binary(4, flood.data(), static_cast<std::uint32_t>(flood.size()));
            pty->hangUp();
            char reply[UARTCE_REPLY_BUFFER_SIZE];
            Send_Receive_Cmd(4, "$01M", reply, 100, 0, nullptr); // finds the hang-up
            const std::uint16_t refused = Send_Receive_Cmd(4, "$01M", reply, 100, 0, nullptr);
            Close_Com(4);
            UARTCE_SetTrace(nullptr);
            return stalled == UARTCE_ERR_WRITE && refused == UARTCE_ERR_HANGUP ? 0 : 3;
        },
        testsupport::Privileges::Keep);
    const testsupport::ChildResult r = child.finish(std::chrono::seconds(10));
    ASSERT_EQ(r.exitCode, 0) << r.stderrText;
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    std::remove(path.c_str());
    ASSERT_GE(lines.size(), 4u);
    // The stalled write: some of the megabyte, not all of it.
    const std::string& stalled = lines[1];
    ASSERT_NE(stalled.find("\"call\":\"Send_Binary\""), std::string::npos) << stalled;
    const std::size_t x = static_cast<std::size_t>(std::count(stalled.begin(), stalled.end(), 'x'));
    EXPECT_GT(x, 0u);
    EXPECT_LT(x, std::size_t{1} << 20);
    EXPECT_NE(stalled.find("\"status\":9"), std::string::npos);
    // Refused with the device gone, before anything was written: nothing sent.
    const std::string& refused = lines[3];
    EXPECT_NE(refused.find("\"call\":\"Send_Receive_Cmd\",\"out\":\"\""), std::string::npos)
        << refused;
    EXPECT_NE(refused.find("\"status\":14"), std::string::npos) << refused;
}

} // namespace
