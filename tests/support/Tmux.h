#pragma once
// A program run in a tmux window of its own, 100 columns by 30 rows, for tests that type at it
// as a person would and read the screen as that person sees it.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class TmuxWindow {
  public:
    // command: shell text run in the window; the window stays once it has ended. folder: where
    // the server's socket and configuration go, and the command's exit status once it ends.
    TmuxWindow(const std::string& command, const std::string& folder);
    ~TmuxWindow();
    TmuxWindow(const TmuxWindow&) = delete;
    TmuxWindow& operator=(const TmuxWindow&) = delete;

    bool started() const { return m_started; }
    // Text as typed, each character a key.
    void type(const std::string& text) const;
    // Named keys such as "Enter", "Up", "C-c", "C-d".
    void keys(const std::vector<std::string>& names) const;
    // The visible screen, one line a row, trailing blanks removed.
    std::string screen() const;
    // Polls the screen until it holds text (or matches the regular expression when regex is
    // set); false at the deadline.
    bool waitFor(const std::string& text, std::chrono::milliseconds within,
                 bool regex = false) const;
    // Polls the screen until its last row that is not blank is row (the prompt's, as a rule).
    bool waitForLastRow(const std::string& row, std::chrono::milliseconds within) const;
    // The program's exit status once it has ended, polled until the deadline.
    std::optional<int> exitStatus(std::chrono::milliseconds within) const;

  private:
    std::string tmux(const std::string& arguments) const;

    std::string m_socket;
    std::string m_statusFile;
    bool m_started = false;
};

// Quotes text for the shell.
std::string shellQuoted(const std::string& text);

} // namespace testsupport
