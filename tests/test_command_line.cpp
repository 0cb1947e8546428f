// The program's command line: what it does before any window exists.

#include "app/CommandLine.h"

#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace {

std::vector<char*> argv(std::vector<std::string>& words) {
    std::vector<char*> out;
    for (std::string& w : words)
        out.push_back(w.data());
    return out;
}

TEST(CommandLine, HelpAndVersionAreTheOnlyOptions) {
    struct Case {
        std::vector<std::string> words;
        app::StartAction action;
    };
    const Case cases[] = {
        {.words = {"portula"}, .action = app::StartAction::RunDialog},
        {.words = {"portula", "--help"}, .action = app::StartAction::PrintHelp},
        {.words = {"portula", "-h"}, .action = app::StartAction::PrintHelp},
        {.words = {"portula", "--version"}, .action = app::StartAction::PrintVersion},
        {.words = {"portula", "whatever", "--version"}, .action = app::StartAction::PrintVersion},
        {.words = {"portula", "--verbose", "COM3"}, .action = app::StartAction::RunDialog},
        {.words = {"portula", "-platform", "offscreen"}, .action = app::StartAction::RunDialog},
    };
    for (Case c : cases) {
        const auto args = argv(c.words);
        EXPECT_EQ(app::startActionFor(args), c.action) << c.words.back();
    }
}

TEST(CommandLine, VersionAndHelpSayWhatTheyShould) {
    EXPECT_EQ(app::versionText(), "Portula 1.0.0.1 (Portula Application)\n");
    EXPECT_NE(app::usageText().find("--version"), std::string::npos);
}

TEST(CommandLine, ADisplayIsNeededUnlessThePlatformNeedsNone) {
    struct Case {
        std::map<std::string, std::string> env;
        std::vector<std::string> words;
        bool available;
    };
    const Case cases[] = {
        {.env = {}, .words = {"portula"}, .available = false},
        {.env = {{"DISPLAY", ""}}, .words = {"portula"}, .available = false},
        {.env = {{"DISPLAY", ":0"}}, .words = {"portula"}, .available = true},
        {.env = {{"WAYLAND_DISPLAY", "wayland-0"}}, .words = {"portula"}, .available = true},
        {.env = {{"QT_QPA_PLATFORM", "offscreen"}}, .words = {"portula"}, .available = true},
        {.env = {{"QT_QPA_PLATFORM", "xcb"}}, .words = {"portula"}, .available = false},
        {.env = {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":1"}},
         .words = {"portula"},
         .available = true},
        {.env = {{"QT_QPA_PLATFORM", "wayland;xcb"}, {"DISPLAY", ":1"}},
         .words = {"portula"},
         .available = true},
        {.env = {{"QT_QPA_PLATFORM", "wayland"}, {"DISPLAY", ":1"}},
         .words = {"portula"},
         .available = false},
        {.env = {{"QT_QPA_PLATFORM", "vnc:size=800x600"}}, .words = {"portula"}, .available = true},
        {.env = {}, .words = {"portula", "-platform", "offscreen"}, .available = true},
        {.env = {{"QT_QPA_PLATFORM", "offscreen"}},
         .words = {"portula", "-platform", "xcb"},
         .available = false},
    };
    for (Case c : cases) {
        const auto args = argv(c.words);
        const auto env = [&](const char* name) -> const char* {
            const auto it = c.env.find(name);
            return it == c.env.end() ? nullptr : it->second.c_str();
        };
        EXPECT_EQ(app::displayAvailable(args, env), c.available)
            << c.words.back() << " with " << c.env.size() << " variables";
    }
}

} // namespace
