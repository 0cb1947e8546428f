#pragma once
// portula-cmd term: an interactive line terminal. The pure side (the terminal's own commands,
// how arriving bytes become lines on the screen, log lines, the history file's place) is
// declared here so that it can be tested without a port or a terminal.

#include "cmd/Cli.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cmd {

using WallClock = std::chrono::system_clock;
using SteadyClock = std::chrono::steady_clock;

// What the terminal can change while it runs.
struct TermSettings {
    std::uint32_t baud = 9600;
    Ending ending = Ending::CR;
    std::string endingBytes = "\r";
    bool checksum = false;
    bool hex = false;
    bool timestamps = false;
    bool escapes = false; // what is sent takes \xNN, \r, \n, \t and a doubled backslash
};
TermSettings termSettings(const Options& options);

// What a typed line asks for.
struct TermAction {
    enum Kind {
        Send,    // text goes on the line with the ending
        Nothing, // an empty line
        Quit,
        Reopen,  // the port is opened again with the settings
        SetRate, // the open port's rate is set to the settings' baud, in place
        Message, // text is shown, the settings may have changed
        Error,   // text is one line saying what was wrong
    };
    Kind kind = Nothing;
    std::string text;
};
// A line starting with ':' is a command to the terminal; '::' sends the line from its second
// ':' on. Changes the settings for the commands that set one.
TermAction interpretLine(const std::string& line, TermSettings& settings);
std::string termHelpText();

// "12:00:00.123", or with the date "2026-12-09T12:00:00.123", in local time.
std::string clockText(WallClock::time_point at, bool withDate);
// A line of the --log file, without its LF: the time, '>' sent or '<' received, the bytes
// escaped as on a message line (\r, \n, \xNN).
std::string logLine(WallClock::time_point at, char direction, std::string_view bytes);

// $XDG_STATE_HOME/portula/history (an absolute XDG_STATE_HOME only), else
// $HOME/.local/state/portula/history; empty without either.
std::string historyPath(const std::function<const char*(const char*)>& env);

// Turns what arrives into whole lines for the screen. Text: a CR, LF, CR LF or LF CR ends a
// line; other control bytes show as \xNN. Hex: rows of 16 bytes as "offset  hex  |text|",
// the offset counting the bytes shown since hex was turned on. A line (or row) that has not
// ended is shown once its first byte is kQuiet old, or once it is a screen line long, so that
// a stream without line ends is shown as it comes. With timestamps every line starts with the
// time its first byte came.
class ArrivalLines {
  public:
    static constexpr std::chrono::milliseconds kQuiet{100};
    static constexpr std::size_t kRowBytes = 16;

    void setHex(bool hex);
    void setTimestamps(bool on) { m_timestamps = on; }
    // The screen's width in columns: a text line under way is shown once it has that many bytes.
    void setWidth(std::size_t columns) { m_width = columns > 0 ? columns : 80; }
    // When the line under way is due to be shown; none while there is none.
    std::optional<SteadyClock::time_point> due() const;
    // Whole lines among the bytes that came now.
    std::vector<std::string> feed(std::string_view bytes, SteadyClock::time_point now,
                                  WallClock::time_point wallNow);
    // The line under way, once the line has been quiet long enough, or when forced (before
    // something else is shown, so that the order on the screen is the order on the line).
    std::vector<std::string> flush(SteadyClock::time_point now, bool force);

    // One hex dump row: offset, up to 16 bytes, their text. Exposed for replies.
    static std::string hexRow(std::size_t offset, std::string_view bytes);

  private:
    std::string finish();

    bool m_hex = false;
    bool m_timestamps = false;
    std::string m_partial;    // bytes of the line under way
    char m_lineEnd = 0;       // the CR or LF that ended the last line: the other one right
                              // after it is its pair
    std::size_t m_offset = 0; // hex: bytes shown so far
    std::size_t m_width = 80;
    SteadyClock::time_point m_started{}; // the line under way's first byte
    SteadyClock::time_point m_lastByte{};
    WallClock::time_point m_firstByte{};
};

// Opens the port at a baud rate with the other settings of the command line: kExitOk, or the
// refusal's exit status with its reason told on standard error.
using Reopen = std::function<int(std::uint32_t baud, std::uint8_t& port)>;

// Opens the port through `open` and runs the terminal until the user ends it. The exit
// status: 0; 2 for a --log file that cannot be appended to; the refusal's when the port
// cannot be opened.
int runTerminal(const Options& options, const Reopen& open);

} // namespace cmd
