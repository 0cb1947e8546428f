// How the simulated module answers.

#include "sim/Module.h"

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
                          Case{"$01X", "?01"}, Case{"#01", "?01"}, Case{"$02M", std::nullopt},
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

TEST(SimModule, BackplaneModulesHaveTheirOwnNames) {
    std::set<std::string> names;
    for (const auto& m : sim::kBackplaneModules)
        names.insert(m.name);
    EXPECT_EQ(names.size(), sim::kBackplaneModules.size());
}

} // namespace
