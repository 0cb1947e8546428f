#include "support/Tmux.h"
#include "support/Program.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <poll.h>
#include <regex>
#include <sys/wait.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// A pause between two looks at the screen, not a wait for a result.
void pause() {
    pollfd none{-1, 0, 0};
    ::poll(&none, 0, 20);
}

} // namespace

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted.push_back(c);
    }
    return quoted + "'";
}

TmuxWindow::TmuxWindow(const std::string& command, const std::string& folder)
    : m_socket(folder + "/tmux.socket"), m_statusFile(folder + "/tmux.status") {
    const std::string config = folder + "/tmux.conf";
    std::ofstream(config) << "set -g remain-on-exit on\nset -g status off\n";
    // The exit status comes from a shell that waits for the command, not from tmux: tmux can
    // miss the end of a pane's process (its utmp helper runs with SIGCHLD at its default, and a
    // child that ends meanwhile is never reaped), and then never has a status to tell. The
    // status is written whole under another name and then renamed, so that it is never read
    // half written.
    std::remove(m_statusFile.c_str()); // an earlier window's in the same folder
    const std::string part = shellQuoted(m_statusFile + ".part");
    const std::string window = "sh -c " + shellQuoted(command) + "; echo $? > " + part + " && mv " +
                               part + " " + shellQuoted(m_statusFile);
    const std::string out =
        tmux("-f " + shellQuoted(config) + " new-session -d -x 100 -y 30 -s term " +
             shellQuoted(window) + " && echo started");
    m_started = out.find("started") != std::string::npos;
}

TmuxWindow::~TmuxWindow() {
    tmux("kill-server");
}

std::string TmuxWindow::tmux(const std::string& arguments) const {
    return runShell("tmux -S " + shellQuoted(m_socket) + " " + arguments).out;
}

void TmuxWindow::type(const std::string& text) const {
    tmux("send-keys -t term -l " + shellQuoted(text));
}

void TmuxWindow::keys(const std::vector<std::string>& names) const {
    std::string line = "send-keys -t term";
    for (const std::string& name : names)
        line += " " + name;
    tmux(line);
}

std::string TmuxWindow::screen() const {
    return tmux("capture-pane -p -t term");
}

bool TmuxWindow::waitFor(const std::string& text, std::chrono::milliseconds within,
                         bool regex) const {
    const auto deadline = Clock::now() + within;
    const std::regex pattern(regex ? text : std::string("x"), std::regex::multiline);
    for (;;) {
        const std::string now = screen();
        if (regex ? std::regex_search(now, pattern) : now.find(text) != std::string::npos)
            return true;
        if (Clock::now() >= deadline)
            return false;
        pause();
    }
}

bool TmuxWindow::waitForLastRow(const std::string& row, std::chrono::milliseconds within) const {
    const auto deadline = Clock::now() + within;
    for (;;) {
        std::string now = screen();
        while (!now.empty() && (now.back() == '\n' || now.back() == ' '))
            now.pop_back();
        if (now.substr(now.rfind('\n') + 1) == row)
            return true;
        if (Clock::now() >= deadline)
            return false;
        pause();
    }
}

std::optional<int> TmuxWindow::exitStatus(std::chrono::milliseconds within) const {
    const auto deadline = Clock::now() + within;
    for (;;) {
        std::string status;
        if (std::ifstream in(m_statusFile);
            in >> status && !status.empty() && std::isdigit(static_cast<unsigned char>(status[0])))
            return std::stoi(status);
        if (Clock::now() >= deadline)
            return std::nullopt;
        pause();
    }
}

} // namespace testsupport
