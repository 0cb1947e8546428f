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
        {.line = "#01", .reading = 1, .checksum = false, .reply = ">+00.001"},
        {.line = "#017", .reading = 12, .checksum = false, .reply = ">+00.012"},
        {.line = "#01", .reading = 1234, .checksum = false, .reply = ">+01.234"},
        {.line = "#01", .reading = 99999, .checksum = false, .reply = ">+99.999"},
        {.line = "#01", .reading = 100000, .checksum = false, .reply = ">+00.001"},
        {.line = "#0112", .reading = 1, .checksum = false, .reply = "?01"},
        {.line = "#01A", .reading = 1, .checksum = false, .reply = "?01"},
        {.line = "#02", .reading = 1, .checksum = false, .reply = std::nullopt},
        // "#01" sums to 0x84; ">+00.001" to 0x188
        {.line = "#0184", .reading = 1, .checksum = true, .reply = ">+00.00188"},
        {.line = "#01", .reading = 1, .checksum = true, .reply = std::nullopt},
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
        {.ending = "\r\n",
         .collide = false,
         .sent = "$01F\r#01\r",
         .received = "!01A1.07\r\n>+00.001\r\n"},
        {.ending = "\n\r", .collide = false, .sent = "$01F\r", .received = "!01A1.07\n\r"},
        // the shorter reply's ending is lost in the longer one's bytes
        {.ending = "\r\n", .collide = true, .sent = "$01F\r", .received = "!01A0.01\r\n"},
        {.ending = "\r\n",
         .collide = true,
         .sent = "$01M\r",
         .received = "!01PORTULA-PAI\x0C\x08\n"},
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
        {.modules = {alone}, .sent = "$01M\r", .received = "!01PORTULA-PAI\x0C\r"},
        {.modules = {alone}, .sent = "$01F\r", .received = "!01A0.01\r"},
        {.modules = {alone},
         .sent = "$01X\r",
         .received = "?01\r"}, // the same reply from both comes through whole
        {.modules = {alone}, .sent = "$02M\r", .received = ""},
        // the module's reply is the shorter: the twin's goes on alone over the idle line
        {.modules = {pxModule},
         .sent = "$01M\r",
         .received = std::string("!01PH\0\x10"
                                 "AH\x01-TWIN\r",
                                 16)},
        {.modules = lineOf({"01", "02"}), .sent = "$02F\r", .received = "!02A0.01\r"},
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
        {.faults = {0, 0, 0}, .replies = {onTime, onTime, onTime, onTime, onTime, onTime}},
        {.faults = {3, 0, 0}, .replies = {onTime, onTime, onTime, onTime}},
        {.faults = {1, 0, 0}, .replies = {}},
        {.faults = {0, 2, 250}, .replies = {onTime, late, onTime, late, onTime, late}},
        // the sixth reply is due to both faults: lost, not late
        {.faults = {3, 2, 250}, .replies = {onTime, late, late, onTime}},
        {.faults = {0, 0, 0, false, 3, 40},
         .replies = {onTime, onTime, twice, onTime, onTime, twice}},
        // a lost reply is not sent twice; a late one can be
        {.faults = {2, 3, 250, false, 3, 40}, .replies = {onTime, lateTwice, onTime}},
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
        {.args = {"--delay-ms", "abc"}, .error = "--delay-ms"},
        {.args = {"--delay-ms", "-5"}, .error = "--delay-ms"},
        {.args = {"--delay-ms", "60001"}, .error = "--delay-ms"},
        {.args = {"--address", "ZZ"}, .error = "--address"},
        {.args = {"--address", "1"}, .error = "--address"},
        {.args = {"--address", "01,02,"}, .error = "--address"},
        {.args = {"--address", "0a", "--address", "0A"}, .error = "given twice"},
        {.args = {"--baud", "9600x"}, .error = "--baud"},
        {.args = {"--baud", "1234"}, .error = "--baud"},
        {.args = {"--baud", ""}, .error = "--baud"},
        {.args = {"--stop-bits", "3"}, .error = "--stop-bits"},
        {.args = {"--drop-every", "0"}, .error = "--drop-every"},
        {.args = {"--late-every", "2"}, .error = "--late-ms"},
        {.args = {"--backplane", longPath.c_str()}, .error = "--backplane"},
        {.args = {"--baud"}, .error = "--baud needs a value"},
        {.args = {"--bogus"}, .error = "unknown option '--bogus'"},
        {.args = {"extra"}, .error = "unexpected argument"},
        {.args = {"--echo", "--address", "01,02"}, .error = "--echo"},
        {.args = {"--echo", "--line-echo"}, .error = "--line-echo"},
        {.args = {"--echo", "--collide"}, .error = "--collide"},
        {.args = {"--garble-echo", "3"}, .error = "--garble-echo needs --line-echo"},
        {.args = {"--line-echo", "--garble-echo", "0"}, .error = "--garble-echo"},
        {.args = {"--line-echo", "--garble-echo", "x"}, .error = "--garble-echo"},
        {.args = {"--garble-echo"}, .error = "--garble-echo needs a value"},
        {.args = {"--batch-ms", "0"}, .error = "--batch-ms"},
        {.args = {"--batch-ms", "1001"}, .error = "--batch-ms"},
        {.args = {"--batch-ms", "+5"}, .error = "--batch-ms"},
        {.args = {"--wire-pace=1"}, .error = "--wire-pace"},
        {.args = {"--keep-replies", "now"}, .error = "unexpected argument"},
        {.args = {"--version=1"}, .error = "unknown option '--version=1'"},
        {.args = {"--echo-skip", "0"}, .error = "--echo-skip"},
        {.args = {"--echo-skip", "9"}, .error = "--echo-skip"},
        {.args = {"--echo", "--echo-skip", "2"}, .error = "--echo-skip"},
        {.args = {"--echo", "--double-echo"}, .error = "--double-echo"},
        {.args = {"--duplicate-every", "0"}, .error = "--duplicate-every"},
        {.args = {"--duplicate-ms", "20"}, .error = "--duplicate-ms needs --duplicate-every"},
        {.args = {"--duplicate-every", "2", "--duplicate-ms", "60001"}, .error = "--duplicate-ms"},
        {.args = {"--ending", "lf"}, .error = "--ending"},
        {.args = {"--ending", "CR"}, .error = "--ending"},
        {.args = {"--late-every", "1", "--late-ms", "60001"}, .error = "--late-ms"},
        {.args = {"--noise-every", "0"}, .error = "--noise-every"},
        {.args = {"--noise-bytes", "4"}, .error = "--noise-bytes needs --noise-every"},
        {.args = {"--noise-every", "1", "--noise-bytes", "0"}, .error = "--noise-bytes"},
        {.args = {"--noise-every", "1", "--noise-bytes", "257"}, .error = "--noise-bytes"},
        {.args = {"--echo", "--noise-every", "1"}, .error = "--noise-every"},
        {.args = {"--seed", "4294967296"}, .error = "--seed"},
        {.args = {"--seed", "-1"}, .error = "--seed"},
        {.args = {"--truth", ""}, .error = "--truth"},
        {.args = {"--truth"}, .error = "--truth needs a value"},
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
        {.args = {}, .line = plain, .faults = {}, .ending = "\r"},
        {.args = {"--echo-skip", "3"}, .line = skip, .faults = {}, .ending = "\r"},
        {.args = {"--double-echo"}, .line = twice, .faults = {}, .ending = "\r"},
        {.args = {"--noise-every", "5", "--noise-bytes", "9", "--seed", "4294967295"},
         .line = noise,
         .faults = {},
         .ending = "\r"},
        {.args = {"--duplicate-every", "7", "--duplicate-ms", "30", "--ending", "crlf"},
         .line = plain,
         .faults = {0, 0, 0, false, 7, 30},
         .ending = "\r\n"},
        {.args = {"--ending", "lfcr", "--late-every", "2", "--late-ms", "10000"},
         .line = plain,
         .faults = {0, 2, 10000},
         .ending = "\n\r"},
        {.args = {"--truth", "run.jsonl", "--ending", "cr"},
         .line = truth,
         .faults = {},
         .ending = "\r"},
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
