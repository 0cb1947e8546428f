// Which device each COM name stands for, from what the system shows.

#include "PortMap.h"

#include <gtest/gtest.h>

namespace {

using uartce::PortEntry;
using uartce::PortMapInputs;
using uartce::PortSource;

struct Expect {
    unsigned com;
    std::string device;
    PortSource source;
    std::string byIdName;
    bool present;
};

struct Case {
    const char* name;
    PortMapInputs in;
    std::set<std::string> existing;
    std::vector<Expect> expect;
    std::vector<std::string> warnings; // each a substring of one warning, in order
};

PortMapInputs inputs(std::map<unsigned, std::string> env, std::vector<uartce::ConfigFile> configs,
                     bool haveById, std::vector<uartce::ByIdLink> byId,
                     std::vector<std::string> fallback, std::set<unsigned> builtIn) {
    PortMapInputs in;
    in.env = std::move(env);
    in.configs = std::move(configs);
    in.haveById = haveById;
    in.byId = std::move(byId);
    in.fallbackAdapters = std::move(fallback);
    in.builtInUarts = std::move(builtIn);
    return in;
}

const std::string kById = "/dev/serial/by-id/";
const std::string kFtdi = "usb-FTDI_FT232R_USB_UART_A10K5XYZ-if00-port0";
const std::string kProlific = "usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0";
const std::string kAcm = "usb-Arduino_Uno_8573531393735-if00";

std::vector<Case> cases() {
    return {
        {"NothingAnywhereGivesTheBuiltInNames",
         inputs({}, {}, false, {}, {}, {}),
         {"/dev/ttyS0"},
         {{1, "/dev/ttyS0", PortSource::Default, "", true},
          {20, "/dev/ttyS19", PortSource::Default, "", false}},
         {}},
        {"EnvironmentWinsOverEverything",
         inputs({{2, "/dev/ttyUSB0"}, {3, "rfc2217://10.0.0.5:4001"}},
                {{"user.conf", "COM2 = /dev/ttyACM0\n"}}, false, {}, {}, {1}),
         {},
         {{2, "/dev/ttyUSB0", PortSource::Env, "", false},
          {3, "rfc2217://10.0.0.5:4001", PortSource::Env, "", true},
          // ttyS1 has hardware, but COM2 is the variable's.
          {1, "/dev/ttyS0", PortSource::Default, "", false}},
         {}},
        {"MapFilesWithCommentsBadLinesAndPrecedence",
         inputs({},
                {{"user.conf", "# mine\n\nCOM4 = /dev/ttyUSB7\ncom5=socket://127.0.0.1:7000\n"
                               "COM4 = /dev/other\nCOM0 = /dev/x\nCOM9\nCOM6 =\n"},
                 {"system.conf", "COM4 = /dev/system\n  COM8 = /dev/ttyS9  \nPORT1 = /dev/y\n"}},
                false, {}, {}, {}),
         {"/dev/ttyUSB7"},
         {{4, "/dev/ttyUSB7", PortSource::MapFile, "", true},
          {5, "socket://127.0.0.1:7000", PortSource::MapFile, "", true},
          {8, "/dev/ttyS9", PortSource::MapFile, "", false},
          {6, "/dev/ttyS5", PortSource::Default, "", false}},
         {"user.conf:6: not a port name", "user.conf:7: expected COM<n> = DEVICE",
          "user.conf:8: no device for COM6", "user.conf:5: COM4 is mapped again",
          "system.conf:3: not a port name"}},
        {"AdaptersTakeFreeNumbersFromCom3InByIdOrder",
         inputs({{3, "/dev/ttyUSB9"}}, {{"u", "COM5 = /dev/somewhere\n"}}, true,
                {{kProlific, "/dev/ttyUSB1"}, {kAcm, "/dev/ttyACM0"}, {kFtdi, "/dev/ttyUSB0"}}, {},
                {0, 3}),
         {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0"},
         {{1, "/dev/ttyS0", PortSource::BuiltIn, "", false},
          {4, "/dev/ttyS3", PortSource::BuiltIn, "", false},
          // usb-Arduino < usb-FTDI < usb-Prolific, bytewise; COM3, 4 and 5 are taken.
          {6, kById + kAcm, PortSource::Discovered, kAcm, true},
          {7, kById + kFtdi, PortSource::Discovered, kFtdi, true},
          {8, kById + kProlific, PortSource::Discovered, kProlific, true}},
         {}},
        {"AnAdapterNamedByTheMapKeepsThatNumberOnly",
         inputs({{9, "/dev/ttyUSB1"}}, {{"u", "COM12 = " + kById + kFtdi + "\n"}}, true,
                {{kFtdi, "/dev/ttyUSB0"}, {kProlific, "/dev/ttyUSB1"}, {kAcm, "/dev/ttyACM0"}}, {},
                {}),
         {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0"},
         {{12, kById + kFtdi, PortSource::MapFile, kFtdi, true},
          {9, "/dev/ttyUSB1", PortSource::Env, "", true},
          {3, kById + kAcm, PortSource::Discovered, kAcm, true},
          {4, "/dev/ttyS3", PortSource::Default, "", false}},
         {}},
        {"AMappedAdapterThatIsUnpluggedIsAbsent",
         inputs({}, {{"u", "COM3 = " + kById + kFtdi + "\n"}}, true, {}, {}, {}),
         {},
         {{3, kById + kFtdi, PortSource::MapFile, kFtdi, false}},
         {}},
        {"AMalformedRemoteNameIsNotPresent",
         inputs({{3, "socket://127.0.0.1:99999"}, {4, "socket://127.0.0.1:4001"}}, {}, false, {},
                {}, {}),
         {},
         {{3, "socket://127.0.0.1:99999", PortSource::Env, "", false},
          {4, "socket://127.0.0.1:4001", PortSource::Env, "", true}},
         {}},
        {"ASkippedMapFileIsSaidFirst",
         [] {
             PortMapInputs in = inputs({}, {{"system.conf", "COM0 = /dev/x\n"}}, false, {}, {}, {});
             in.skippedConfigs = {"user.conf: skipped: a FIFO, not a file"};
             return in;
         }(),
         {},
         {{3, "/dev/ttyS2", PortSource::Default, "", false}},
         {"user.conf: skipped: a FIFO", "system.conf:1: not a port name"}},
        {"WithoutByIdTheDeviceNamesSortByNumber",
         inputs({}, {}, false, {}, {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyUSB0"}, {}),
         {"/dev/ttyUSB10", "/dev/ttyUSB2", "/dev/ttyACM0", "/dev/ttyUSB0"},
         {{3, "/dev/ttyACM0", PortSource::Discovered, "", true},
          {4, "/dev/ttyUSB0", PortSource::Discovered, "", true},
          {5, "/dev/ttyUSB2", PortSource::Discovered, "", true},
          {6, "/dev/ttyUSB10", PortSource::Discovered, "", true}},
         {}},
    };
}

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class PortMapTest : public ::testing::TestWithParam<Case> {};

TEST_P(PortMapTest, AssignsAsDocumented) {
    Case c = GetParam();
    const std::set<std::string> existing = c.existing;
    c.in.exists = [existing](const std::string& path) { return existing.count(path) != 0; };
    const uartce::PortMap map = uartce::buildPortMap(c.in);
    for (const Expect& e : c.expect) {
        const PortEntry got = map.entryFor(e.com);
        EXPECT_EQ(got.device, e.device) << "COM" << e.com;
        EXPECT_EQ(got.source, e.source) << "COM" << e.com;
        EXPECT_EQ(got.byIdName, e.byIdName) << "COM" << e.com;
        EXPECT_EQ(got.present, e.present) << "COM" << e.com;
    }
    ASSERT_EQ(map.warnings.size(), c.warnings.size());
    for (std::size_t i = 0; i < c.warnings.size(); ++i)
        EXPECT_NE(map.warnings[i].find(c.warnings[i]), std::string::npos) << map.warnings[i];
}

INSTANTIATE_TEST_SUITE_P(Inputs, PortMapTest, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

TEST(PortMap, TheSameAdaptersGetTheSameNumbersInAnyOrder) {
    std::vector<uartce::ByIdLink> links = {
        {kProlific, "/dev/ttyUSB1"}, {kFtdi, "/dev/ttyUSB0"}, {kAcm, "/dev/ttyACM0"}};
    std::map<unsigned, std::string> first;
    do {
        const uartce::PortMap map = uartce::buildPortMap(inputs({}, {}, true, links, {}, {}));
        std::map<unsigned, std::string> got;
        for (const auto& [com, e] : map.assigned)
            got[com] = e.device;
        if (first.empty())
            first = got;
        EXPECT_EQ(got, first);
    } while (std::next_permutation(links.begin(), links.end(),
                                   [](const auto& a, const auto& b) { return a.name < b.name; }));
    EXPECT_EQ(first.size(), 3u);
}

TEST(PortMap, RemoteNames) {
    struct Row {
        const char* name;
        uartce::RemoteName::Kind kind;
        const char* host;
        const char* service;
    };
    using K = uartce::RemoteName::Kind;
    const Row rows[] = {
        {.name = "/dev/ttyUSB0", .kind = K::None, .host = "", .service = ""},
        {.name = "rfc2217://127.0.0.1:4001",
         .kind = K::Rfc2217,
         .host = "127.0.0.1",
         .service = "4001"},
        {.name = "socket://modbus-gw.local:502",
         .kind = K::Socket,
         .host = "modbus-gw.local",
         .service = "502"},
        {.name = "rfc2217://[::1]:7000", .kind = K::Rfc2217, .host = "::1", .service = "7000"},
        {.name = "rfc2217://host", .kind = K::Rfc2217, .host = "", .service = ""},
        {.name = "socket://:80", .kind = K::Socket, .host = "", .service = ""},
        {.name = "socket://host:http", .kind = K::Socket, .host = "", .service = ""},
        {.name = "socket://host:", .kind = K::Socket, .host = "", .service = ""},
        // TCP ports are 1 to 65535; nothing wraps round to another port.
        {.name = "socket://127.0.0.1:99999", .kind = K::Socket, .host = "", .service = ""},
        {.name = "socket://127.0.0.1:65536", .kind = K::Socket, .host = "", .service = ""},
        {.name = "rfc2217://127.0.0.1:0", .kind = K::Rfc2217, .host = "", .service = ""},
        {.name = "socket://127.0.0.1:65535",
         .kind = K::Socket,
         .host = "127.0.0.1",
         .service = "65535"},
        {.name = "socket://127.0.0.1:04001",
         .kind = K::Socket,
         .host = "127.0.0.1",
         .service = "4001"},
    };
    for (const Row& r : rows) {
        const uartce::RemoteName got = uartce::parseRemoteName(r.name);
        EXPECT_EQ(got.kind, r.kind) << r.name;
        EXPECT_EQ(got.host, r.host) << r.name;
        EXPECT_EQ(got.service, r.service) << r.name;
        // A remote scheme with no usable host and port says why.
        EXPECT_EQ(got.fault.empty(), r.kind == K::None || *r.host != '\0') << r.name;
    }
}

TEST(PortMap, TooltipTextNamesDeviceAdapterAndAbsence) {
    struct Row {
        PortEntry entry;
        std::string text;
    };
    auto entry = [](std::string device, std::string byId, std::string target, bool present) {
        PortEntry e;
        e.device = std::move(device);
        e.byIdName = std::move(byId);
        e.target = std::move(target);
        e.present = present;
        return e;
    };
    const Row rows[] = {
        {.entry = entry("/dev/ttyS0", "", "", true), .text = "/dev/ttyS0"},
        {.entry = entry("/dev/ttyS4", "", "", false), .text = "/dev/ttyS4 (absent)"},
        {.entry = entry(kById + kFtdi, kFtdi, "/dev/ttyUSB0", true),
         .text = "/dev/ttyUSB0  " + kFtdi},
        {.entry = entry(kById + kFtdi, kFtdi, "", false), .text = kById + kFtdi + " (absent)"},
        {.entry = entry("socket://127.0.0.1:7000", "", "", true),
         .text = "socket://127.0.0.1:7000"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(uartce::describeEntry(r.entry), r.text);
}

} // namespace

namespace {

// Settings after a map line's device: each one parsed, or the whole line refused with its
// file and line, as other bad lines are.
TEST(PortMap, SettingsAfterTheDevice) {
    using uartce::LineOverrides;
    struct Row {
        std::string line;
        std::string device{};     // empty: the line is refused
        LineOverrides settings{}; // as parsed
        const char* warning = ""; // a part of the refusal
    };
    const Row rows[] = {
        {.line = "COM3 = /dev/ttyUSB0", .device = "/dev/ttyUSB0", .settings = {}, .warning = ""},
        {.line = "COM3 = /dev/ttyUSB0 baud=250000 data-bits=7 parity=even stop-bits=1 "
                 "flow=rts-cts",
         .device = "/dev/ttyUSB0",
         .settings = {.baud = 250000, .dataBits = 7, .parity = 2, .stopBits = 1, .flow = 1},
         .warning = ""},
        {.line = "COM3=rfc2217://gw:4001\tparity=mark\t flow=xon-xoff  ",
         .device = "rfc2217://gw:4001",
         .settings = {.parity = 3, .flow = 2},
         .warning = ""},
        {.line = "COM3 = /dev/ttyS0 parity=space stop-bits=2 baud=50",
         .device = "/dev/ttyS0",
         .settings = {.baud = 50, .parity = 4, .stopBits = 2},
         .warning = ""},
        {.line = "COM3 = /dev/ttyS0 baud=4000000 flow=none parity=none",
         .device = "/dev/ttyS0",
         .settings = {.baud = 4000000, .parity = 0, .flow = 0},
         .warning = ""},
        {.line = "COM3 = /dev/ttyAMA0 rs485 baud=19200",
         .device = "/dev/ttyAMA0",
         .settings = {.baud = 19200, .rs485 = ""},
         .warning = ""},
        {.line = "COM3 = /dev/ttyAMA0 rs485=rts-on-send=low,delay-before=2",
         .device = "/dev/ttyAMA0",
         .settings = {.rs485 = "rts-on-send=low,delay-before=2"},
         .warning = ""},
        {.line = "COM3 = /dev/ttyAMA0 rs485=off",
         .device = "/dev/ttyAMA0",
         .settings = {.rs485 = "off"},
         .warning = ""},
        {.line = "COM3 = /dev/ttyAMA0 rs485=rts-on-send=up",
         .warning = "'rs485=rts-on-send=up': 'rts-on-send=up': the level is high or low"},
        {.line = "COM3 = /dev/ttyAMA0 rs485=",
         .device = "/dev/ttyAMA0",
         .settings = {.rs485 = ""},
         .warning = ""},
        {.line = "COM3 = /dev/ttyS0 baud=49", .warning = "'baud=49': baud is a rate from 50"},
        {.line = "COM3 = /dev/ttyS0 baud=4000001", .warning = "'baud=4000001'"},
        {.line = "COM3 = /dev/ttyS0 baud=9600x", .warning = "'baud=9600x'"},
        {.line = "COM3 = /dev/ttyS0 baud=", .warning = "'baud='"},
        {.line = "COM3 = /dev/ttyS0 data-bits=9", .warning = "data-bits is 5, 6, 7 or 8"},
        {.line = "COM3 = /dev/ttyS0 data-bits=4", .warning = "'data-bits=4'"},
        {.line = "COM3 = /dev/ttyS0 parity=Even", .warning = "parity is none, odd, even"},
        {.line = "COM3 = /dev/ttyS0 stop-bits=0", .warning = "stop-bits is 1 or 2"},
        {.line = "COM3 = /dev/ttyS0 flow=hardware", .warning = "flow is none, rts-cts"},
        {.line = "COM3 = /dev/ttyS0 speed=9600", .warning = "'speed=9600': not a setting"},
        {.line = "COM3 = /dev/ttyS0 9600", .warning = "'9600': expected SETTING=VALUE"},
        {.line = "COM3 = /dev/my port", .warning = "'port': expected SETTING=VALUE"},
        {.line = "COM3 = /dev/ttyS0 parity=odd bogus", .warning = "'bogus'"},
    };
    for (const Row& r : rows) {
        PortMapInputs in;
        in.configs = {{"user.conf", "# first\n" + r.line + "\n"}};
        in.exists = [](const std::string&) { return false; };
        const uartce::PortMap map = uartce::buildPortMap(in);
        const PortEntry e = map.entryFor(3);
        if (r.device.empty()) {
            EXPECT_EQ(e.source, PortSource::Default) << r.line;
            ASSERT_EQ(map.warnings.size(), 1u) << r.line;
            EXPECT_NE(map.warnings[0].find("user.conf:2: "), std::string::npos) << map.warnings[0];
            EXPECT_NE(map.warnings[0].find(r.warning), std::string::npos) << map.warnings[0];
            continue;
        }
        EXPECT_EQ(map.warnings.size(), 0u) << r.line;
        EXPECT_EQ(e.source, PortSource::MapFile) << r.line;
        EXPECT_EQ(e.device, r.device) << r.line;
        EXPECT_TRUE(e.line == r.settings) << r.line;
    }
}

// The environment names a device only: a value with blanks is that device, whole.
TEST(PortMap, TheEnvironmentGivesNoSettings) {
    PortMapInputs in;
    in.env = {{3, "/dev/ttyUSB0 baud=250000"}};
    const uartce::PortMap map = uartce::buildPortMap(in);
    EXPECT_EQ(map.entryFor(3).device, "/dev/ttyUSB0 baud=250000");
    EXPECT_TRUE(map.entryFor(3).line == uartce::LineOverrides{});
}

} // namespace
