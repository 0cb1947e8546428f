// The library's transaction trace: its line format, and the trace of a dialog session.

#include "DialogHarness.h"
#include "Trace.h"
#include "support/SimProcess.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
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
        {"$01M\r", R"($01M\\x0D)"},
        {std::string("a\0b", 3), R"(a\\x00b)"},
        {"say \"hi\"", R"(say \"hi\")"},
        {"back\\slash", R"(back\\x5Cslash)"},
        {"\x7F\xFF\x80", R"(\\x7F\\xFF\\x80)"},
        {"\t\n\x1B", R"(\\x09\\x0A\\x1B)"},
        {"", ""},
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
              "\"out\":\"$01M\\\\x0D\",\"in\":\"!01X\",\"status\":0,\"us\":815}\n");
}

#ifdef PORTULA_JQ_PATH
// jq reads every line back to the bytes that went in, escapes undone once by JSON.
TEST(TraceFormat, JqReadsTheLines) {
    char path[] = "/tmp/portula-trace-jq-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string all;
    for (int b = 0; b < 256; b += 16)
        all += recordWith(std::string(1, static_cast<char>(b)) + "\"\\\x7F", "\xFF");
    ASSERT_EQ(::write(fd, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    ::close(fd);
    const std::string command = std::string(PORTULA_JQ_PATH) + " -r '.out + \"|\" + .in' " + path;
    FILE* jq = ::popen(command.c_str(), "r");
    ASSERT_NE(jq, nullptr);
    std::string got;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, jq))
        got += chunk;
    EXPECT_EQ(::pclose(jq), 0);
    ::unlink(path);
    std::string expected;
    for (int b = 0; b < 256; b += 16) {
        char first[8];
        if (b >= 0x20 && b < 0x7F)
            std::snprintf(first, sizeof first, "%c", b);
        else
            std::snprintf(first, sizeof first, "\\x%02X", b);
        expected += std::string(first) + "\"\\x5C\\x7F|\\xFF\n";
    }
    EXPECT_EQ(got, expected);
}
#endif

class TraceSessionTest : public DialogTest {
  protected:
    void TearDown() override {
        DialogTest::TearDown();
        uartce::trace::setFile(nullptr);
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
    uartce::trace::setFile(path.c_str());
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
        R"("port":2,"call":"Send_Receive_Cmd","out":"$01M\\x0D","in":"!01PORTULA-SIM","status":0,)",
        R"("port":2,"call":"Send_Receive_Cmd","out":"$01F\\x0D","in":"!01A1.07","status":0,)",
        R"("port":2,"call":"Send_Receive_Cmd","out":"$02M\\x0D","in":"","status":10,)",
        R"("port":2,"call":"Close_Com","out":"","in":"","status":0,)",
        R"("port":2,"call":"Send_Receive_Cmd","out":"","in":"","status":8,)",
    };
    ASSERT_EQ(lines.size(), expected.size()) << testing::PrintToString(lines);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].rfind("{\"time\":\"20", 0), 0u) << lines[i];
    }
}

} // namespace
