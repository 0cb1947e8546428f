#pragma once
// The terminal's side of portula-cmd term: lines typed in, lines shown. On a terminal the
// line is edited with libedit, with history, and what is shown goes above the line being
// typed without tearing it; otherwise standard input is read a line at a time, as a script
// gives it.

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace cmd {

class Console {
  public:
    virtual ~Console() = default;

    // Takes what standard input has ready (call when poll says so).
    virtual void readInput() = 0;
    // Shows whole lines: above the prompt on a terminal, else on standard output.
    virtual void show(const std::vector<std::string>& lines) = 0;
    // Ctrl-C: true when the line was empty (the terminal ends); a typed line is cleared.
    virtual bool interrupt() = 0;
    // The terminal's window changed size.
    virtual void resize() {}
    // Puts the terminal back as it was.
    virtual void close() {}
    // Before the program stops (Ctrl-Z): the terminal as the shell wants it, the line kept.
    virtual void suspend() {}
    // After it goes on (fg): the line editor's mode again, and the prompt and the line drawn.
    virtual void resume() {}

    // The next line entered, in order; false when none is waiting.
    bool nextLine(std::string& line) {
        if (m_lines.empty())
            return false;
        line = std::move(m_lines.front());
        m_lines.pop_front();
        return true;
    }
    // Ctrl-D, or the end of standard input, and every line before it taken.
    bool ended() const { return m_ended && m_lines.empty(); }

  protected:
    std::deque<std::string> m_lines;
    bool m_ended = false;
};

// The cause (an errno value) of the first failure to show something on standard output; 0 when
// everything shown went out.
int firstOutputError();

// Why a history file cannot be used: it is not a regular file of its own (a FIFO, a folder, a
// device, a link, which a write would follow to another file), or it is larger than any history
// kept (1 MB). Empty when it can, or when it is not there yet (it is then made).
std::string historyRefusal(const std::string& path);

// Standard input is a terminal: the line editor, its history read from and kept in
// historyFile (none when empty). The file is read only when historyRefusal allows, and written
// whole to a new file that then takes its name, so that a write never waits, never follows a
// link and never leaves half a history; a failure is said once.
std::unique_ptr<Console> editingConsole(const std::string& prompt, const std::string& historyFile);
// Standard input is a file or a pipe.
std::unique_ptr<Console> plainConsole();

} // namespace cmd
