// How the simulated module answers.

#include "sim/Module.h"
#include "sim/Options.h"

#include "rules/Framing.h"

#include <gtest/gtest.h>
#include <set>

namespace {

TEST(SimModule, AnswersCommandsForItsAddress) {
    sim::ModuleConfig config;
    struct Case {
        const char* line;
        std::optional<std::string> reply;
    };
    for (const Case& c : {Case{"$01M", "!01PORTULA-SIM"}, Case{"$01F", "!01A1.07"},
                          Case{"$01X", "?01"}, Case{"#01X", "?01"}, Case{"$02M", std::nullopt},
                          Case{"$0", std::nullopt}, Case{"", std::nullopt}})
        EXPECT_EQ(sim::answer(config, c.line), c.reply) << c.line;
    config.address = "1A";
    EXPECT_EQ(sim::answer(config, "$1aM"), "!1APORTULA-SIM");
}

TEST(SimModule, ChecksumModeChecksCommandsAndSignsReplies) {
    sim::ModuleConfig config;
    config.checksum = true;
    // "$01M" sums to 0xD2; "!01PORTULA-SIM" is signed with its own sum.
    EXPECT_EQ(sim::answer(config, "$01MD2"), "!01PORTULA-SIMBF");
    EXPECT_EQ(sim::answer(config, "$01Md2"), "!01PORTULA-SIMBF");
    EXPECT_EQ(sim::answer(config, "$01MD3"), std::nullopt);
    EXPECT_EQ(sim::answer(config, "$01M"), std::nullopt);
}

TEST(SimModule, CollectsLinesFromTheByteStream) {
    sim::Module module{sim::ModuleConfig{}};
    EXPECT_EQ(module.feed("$0"), "");
    EXPECT_EQ(module.feed("1M\r$01F\r\n$02M\r"), "!01PORTULA-SIM\r!01A1.07\r");
    sim::ModuleConfig echo;
    echo.echo = true;
    sim::Module echoing{echo};
    EXPECT_EQ(echoing.feed(std::string("ab\n\r\x1A\0", 6)), std::string("ab\n\r\x1A\0", 6));
}

TEST(SimModule, ReadingsAreNeverAlikeWithinARun) {
    struct Case {
        const char* line;
        unsigned long reading;
        bool checksum;
        std::optional<std::string> reply;
    };
    const Case cases[] = {
        {"#01", 1, false, ">+00.001"},
        {"#017", 12, false, ">+00.012"},
        {"#01", 1234, false, ">+01.234"},
        {"#01", 99999, false, ">+99.999"},
        {"#01", 100000, false, ">+00.001"},
        {"#0112", 1, false, "?01"},
        {"#01A", 1, false, "?01"},
        {"#02", 1, false, std::nullopt},
        // "#01" sums to 0x84; ">+00.001" to 0x188
        {"#0184", 1, true, ">+00.00188"},
        {"#01", 1, true, std::nullopt},
    };
    for (const Case& c : cases) {
        sim::ModuleConfig config;
        config.checksum = c.checksum;
        EXPECT_EQ(sim::answer(config, c.line, c.reading), c.reply) << c.line << " " << c.reading;
    }
    // Each module counts its own readings; other commands use none up.
    sim::Options shared;
    shared.addresses = {"01", "02"};
    sim::Module line(sim::modulesFor(shared), {});
    EXPECT_EQ(line.feed("#01\r#010\r$01M\r#02\r#019\r#01X\r#02\r"),
              ">+00.001\r>+00.002\r!01PORTULA-SIM-01\r>+00.001\r>+00.003\r?01\r>+00.002\r");
}

TEST(SimModule, RepliesEndAsConfigured) {
    struct Case {
        const char* ending;
        bool collide;
        const char* sent;
        std::string received;
    };
    const Case cases[] = {
        {"\r\n", false, "$01F\r#01\r", "!01A1.07\r\n>+00.001\r\n"},
        {"\n\r", false, "$01F\r", "!01A1.07\n\r"},
        // the shorter reply's ending is lost in the longer one's bytes
        {"\r\n", true, "$01F\r", "!01A0.01\r\n"},
        {"\r\n", true, "$01M\r", "!01PORTULA-PAI\x0C\x08\n"},
    };
    for (const Case& c : cases) {
        sim::ModuleConfig config;
        config.ending = c.ending;
        sim::Faults faults;
        faults.collide = c.collide;
        sim::Module module(std::vector{config}, faults);
        EXPECT_EQ(module.feed(c.sent), c.received) << c.sent << " collide " << c.collide;
    }
}

TEST(SimModule, BackplaneModulesHaveTheirOwnNames) {
    std::set<std::string> names;
    for (const auto& m : sim::kBackplaneModules)
        names.insert(m.name);
    EXPECT_EQ(names.size(), sim::kBackplaneModules.size());
}

} // namespace

namespace {

std::vector<sim::ModuleConfig> lineOf(std::initializer_list<const char*> addresses) {
    sim::Options options;
    for (const char* a : addresses)
        options.addresses.push_back(a);
    return sim::modulesFor(options);
}

TEST(SimModule, ModulesSharingALineEachAnswerTheirOwnAddress) {
    sim::Module line(lineOf({"01", "02", "A0"}), {});
    EXPECT_EQ(line.feed("$01M\r$02M\r$A0M\r$03M\r$a0F\r"),
              "!01PORTULA-SIM-01\r!02PORTULA-SIM-02\r!A0PORTULA-SIM-A0\r!A0A1.07\r");
    sim::Module alone(lineOf({"05"}), {});
    EXPECT_EQ(alone.feed("$05M\r"), "!05PORTULA-SIM\r") << "a lone module keeps its name";
}

TEST(SimModule, CollidingRepliesCombineAsOnABus) {
    struct Case {
        std::vector<sim::ModuleConfig> modules;
        const char* sent;
        std::string received;
    };
    sim::ModuleConfig alone;
    sim::ModuleConfig pxModule;
    pxModule.identity = sim::kBackplaneModules[0];
    // "...SIM\r" against "...TWIN\r": S&T is P, I&W is A, M&I is I, the CR under the N is 0C.
    const Case cases[] = {
        {{alone}, "$01M\r", "!01PORTULA-PAI\x0C\r"},
        {{alone}, "$01F\r", "!01A0.01\r"},
        {{alone}, "$01X\r", "?01\r"}, // the same reply from both comes through whole
        {{alone}, "$02M\r", ""},
        // the module's reply is the shorter: the twin's goes on alone over the idle line
        {{pxModule},
         "$01M\r",
         std::string("!01PH\0\x10"
                     "AH\x01-TWIN\r",
                     16)},
        {lineOf({"01", "02"}), "$02F\r", "!02A0.01\r"},
    };
    for (const Case& c : cases) {
        sim::Module module(c.modules, {0, 0, 0, true});
        EXPECT_EQ(module.feed(c.sent), c.received) << c.sent;
    }
    EXPECT_EQ(sim::onSharedBus(std::string("\xF0\x0F", 2), "\x3C"), std::string("\x30\x0F", 2));
}

TEST(SimModule, CollidingSignedRepliesFailTheirChecksum) {
    sim::ModuleConfig config;
    config.checksum = true;
    sim::Module module(std::vector{config}, {0, 0, 0, true});
    for (const char* command : {"$01MD2\r", "$01FCB\r"}) {
        std::string reply = module.feed(command);
        ASSERT_FALSE(reply.empty()) << command;
        reply.pop_back();
        std::size_t payload = 0;
        EXPECT_FALSE(portula::verifyReplyChecksum(reply, payload)) << command << ": " << reply;
    }
}

TEST(SimModule, FaultsCountRepliesNotCommands) {
    struct Case {
        sim::Faults faults;
        std::vector<sim::Reply> replies; // to "$02M" (silent), then "$01M" six times
    };
    const sim::Reply onTime{"!01PORTULA-SIM\r", 0};
    const sim::Reply late{"!01PORTULA-SIM\r", 250};
    const sim::Reply twice{"!01PORTULA-SIM\r", 0, 40};
    const sim::Reply lateTwice{"!01PORTULA-SIM\r", 250, 40};
    const Case cases[] = {
        {{0, 0, 0}, {onTime, onTime, onTime, onTime, onTime, onTime}},
        {{3, 0, 0}, {onTime, onTime, onTime, onTime}},
        {{1, 0, 0}, {}},
        {{0, 2, 250}, {onTime, late, onTime, late, onTime, late}},
        // the sixth reply is due to both faults: lost, not late
        {{3, 2, 250}, {onTime, late, late, onTime}},
        {{0, 0, 0, false, 3, 40}, {onTime, onTime, twice, onTime, onTime, twice}},
        // a lost reply is not sent twice; a late one can be
        {{2, 3, 250, false, 3, 40}, {onTime, lateTwice, onTime}},
    };
    for (const Case& c : cases) {
        sim::Module module(sim::ModuleConfig{}, c.faults);
        std::vector<sim::Reply> got = module.receive("$02M\r");
        for (int i = 0; i < 6; ++i)
            for (sim::Reply& r : module.receive("$01M\r"))
                got.push_back(r);
        EXPECT_EQ(got, c.replies) << "drop " << c.faults.dropEvery << " late "
                                  << c.faults.lateEvery;
    }
}

struct OptionCase {
    std::vector<const char*> args;
    const char* error; // a part of the message; "" when the command line is good
};

sim::ParsedOptions parse(std::vector<const char*> args) {
    args.insert(args.begin(), "portula-sim");
    return sim::parseOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()));
}

TEST(SimOptions, RefusesBadValuesNamingTheOption) {
    const std::string longPath(108, 'x'); // one byte more than a socket address holds
    const OptionCase cases[] = {
        {{"--delay-ms", "abc"}, "--delay-ms"},
        {{"--delay-ms", "-5"}, "--delay-ms"},
        {{"--delay-ms", "60001"}, "--delay-ms"},
        {{"--address", "ZZ"}, "--address"},
        {{"--address", "1"}, "--address"},
        {{"--address", "01,02,"}, "--address"},
        {{"--address", "0a", "--address", "0A"}, "given twice"},
        {{"--baud", "9600x"}, "--baud"},
        {{"--baud", "1234"}, "--baud"},
        {{"--baud", ""}, "--baud"},
        {{"--stop-bits", "3"}, "--stop-bits"},
        {{"--drop-every", "0"}, "--drop-every"},
        {{"--late-every", "2"}, "--late-ms"},
        {{"--backplane", longPath.c_str()}, "--backplane"},
        {{"--baud"}, "--baud needs a value"},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"extra"}, "unexpected argument"},
        {{"--echo", "--address", "01,02"}, "--echo"},
        {{"--echo", "--line-echo"}, "--line-echo"},
        {{"--echo", "--collide"}, "--collide"},
        {{"--garble-echo", "3"}, "--garble-echo needs --line-echo"},
        {{"--line-echo", "--garble-echo", "0"}, "--garble-echo"},
        {{"--line-echo", "--garble-echo", "x"}, "--garble-echo"},
        {{"--garble-echo"}, "--garble-echo needs a value"},
        {{"--batch-ms", "0"}, "--batch-ms"},
        {{"--batch-ms", "1001"}, "--batch-ms"},
        {{"--batch-ms", "+5"}, "--batch-ms"},
        {{"--wire-pace=1"}, "--wire-pace"},
        {{"--keep-replies", "now"}, "unexpected argument"},
        {{"--version=1"}, "unknown option '--version=1'"},
        {{"--echo-skip", "0"}, "--echo-skip"},
        {{"--echo-skip", "9"}, "--echo-skip"},
        {{"--echo", "--echo-skip", "2"}, "--echo-skip"},
        {{"--echo", "--double-echo"}, "--double-echo"},
        {{"--duplicate-every", "0"}, "--duplicate-every"},
        {{"--duplicate-ms", "20"}, "--duplicate-ms needs --duplicate-every"},
        {{"--duplicate-every", "2", "--duplicate-ms", "60001"}, "--duplicate-ms"},
        {{"--ending", "lf"}, "--ending"},
        {{"--ending", "CR"}, "--ending"},
        {{"--late-every", "1", "--late-ms", "60001"}, "--late-ms"},
        {{"--noise-every", "0"}, "--noise-every"},
        {{"--noise-bytes", "4"}, "--noise-bytes needs --noise-every"},
        {{"--noise-every", "1", "--noise-bytes", "0"}, "--noise-bytes"},
        {{"--noise-every", "1", "--noise-bytes", "257"}, "--noise-bytes"},
        {{"--echo", "--noise-every", "1"}, "--noise-every"},
        {{"--seed", "4294967296"}, "--seed"},
        {{"--seed", "-1"}, "--seed"},
        {{"--truth", ""}, "--truth"},
        {{"--truth"}, "--truth needs a value"},
    };
    for (const OptionCase& c : cases) {
        const std::string error = parse(c.args).error;
        EXPECT_NE(error.find(c.error), std::string::npos)
            << c.args.front() << ": " << (error.empty() ? "accepted" : error);
    }
}

TEST(SimOptions, AcceptsGoodCommandLines) {
    auto o = parse({"--address", "0a,1F", "--address", "20", "--baud", "115200", "--stop-bits", "2",
                    "--checksum", "--drop-every", "4", "--late-every", "3", "--late-ms", "90",
                    "--delay-ms", "0"});
    ASSERT_EQ(o.error, "");
    EXPECT_EQ(o.options.addresses, (std::vector<std::string>{"0A", "1F", "20"}));
    EXPECT_EQ(o.options.baud, 115200u);
    EXPECT_EQ(o.options.stopBits, 2);
    EXPECT_EQ(o.options.faults.dropEvery, 4u);
    EXPECT_EQ(o.options.faults.lateEvery, 3u);
    EXPECT_EQ(o.options.faults.lateMs, 90u);
    const auto modules = sim::modulesFor(o.options);
    ASSERT_EQ(modules.size(), 3u);
    EXPECT_TRUE(modules[2].checksum);
    EXPECT_EQ(parse({"--help"}).options.help, true);
    EXPECT_EQ(parse({"--version"}).options.version, true);
    EXPECT_EQ(parse({"--baud", "1200", "--version"}).options.help, false);
    auto l = parse({"--line-echo", "--garble-echo", "5", "--batch-ms", "16", "--wire-pace",
                    "--collide", "--keep-replies", "--baud", "1200", "--stop-bits", "2"});
    ASSERT_EQ(l.error, "");
    EXPECT_TRUE(l.options.faults.collide);
    const sim::LineConfig line = sim::lineConfigFor(l.options);
    EXPECT_TRUE(line.echo && line.wirePace && line.keepReplies);
    EXPECT_EQ(line.garbleEchoEvery, 5u);
    EXPECT_EQ(line.batchMs, 16u);
    EXPECT_EQ(line.stopBits, 2) << "the wire's pace follows the line settings";
    EXPECT_EQ(sim::modulesFor(parse({}).options).front().address, "01");
}

TEST(SimOptions, FaultOptionsReachTheLineAndTheModules) {
    struct Case {
        std::vector<const char*> args;
        sim::LineConfig line; // the fields checked below
        sim::Faults faults;   // likewise
        std::string ending;
    };
    sim::LineConfig plain;
    sim::LineConfig skip;
    skip.echo = true;
    skip.echoSkip = 3;
    sim::LineConfig twice;
    twice.echo = true;
    twice.doubleEcho = true;
    sim::LineConfig noise;
    noise.noiseEvery = 5;
    noise.noiseBytes = 9;
    noise.seed = 4294967295u;
    sim::LineConfig truth;
    truth.truth = true;
    const Case cases[] = {
        {{}, plain, {}, "\r"},
        {{"--echo-skip", "3"}, skip, {}, "\r"},
        {{"--double-echo"}, twice, {}, "\r"},
        {{"--noise-every", "5", "--noise-bytes", "9", "--seed", "4294967295"}, noise, {}, "\r"},
        {{"--duplicate-every", "7", "--duplicate-ms", "30", "--ending", "crlf"},
         plain,
         {0, 0, 0, false, 7, 30},
         "\r\n"},
        {{"--ending", "lfcr", "--late-every", "2", "--late-ms", "10000"},
         plain,
         {0, 2, 10000},
         "\n\r"},
        {{"--truth", "run.jsonl", "--ending", "cr"}, truth, {}, "\r"},
    };
    for (const Case& c : cases) {
        const auto parsed = parse(c.args);
        const std::string name = c.args.empty() ? "(none)" : c.args.front();
        ASSERT_EQ(parsed.error, "") << name;
        const sim::LineConfig l = sim::lineConfigFor(parsed.options);
        EXPECT_EQ(l.echo, c.line.echo) << name;
        EXPECT_EQ(l.echoSkip, c.line.echoSkip) << name;
        EXPECT_EQ(l.doubleEcho, c.line.doubleEcho) << name;
        EXPECT_EQ(l.noiseEvery, c.line.noiseEvery) << name;
        EXPECT_EQ(l.noiseBytes, c.line.noiseBytes) << name;
        EXPECT_EQ(l.seed, c.line.seed) << name;
        EXPECT_EQ(l.truth, c.line.truth) << name;
        const sim::Faults& f = parsed.options.faults;
        EXPECT_EQ(f.duplicateEvery, c.faults.duplicateEvery) << name;
        EXPECT_EQ(f.duplicateMs, c.faults.duplicateMs) << name;
        EXPECT_EQ(f.lateMs, c.faults.lateMs) << name;
        EXPECT_EQ(sim::modulesFor(parsed.options).front().ending, c.ending) << name;
    }
}

} // namespace
