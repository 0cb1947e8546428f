#include "cmd/Console.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <histedit.h>

namespace cmd {

namespace {

// The history's folder and those above it, as `mkdir -p` would; private to the user.
void makeFolders(const std::string& file) {
    for (std::size_t at = file.find('/', 1); at != std::string::npos; at = file.find('/', at + 1))
        ::mkdir(file.substr(0, at).c_str(), 0700);
}

int g_firstOutputError = 0;

// The first failure to show something is kept with its own cause: the stream's error flag,
// looked at later, says only that one happened.
void writeOut(const std::string& text) {
    errno = 0;
    const bool whole = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if ((std::fflush(stdout) != 0 || !whole) && g_firstOutputError == 0)
        g_firstOutputError = errno != 0 ? errno : EIO;
}

constexpr int kHistoryLength = 1000;
constexpr off_t kMaxHistoryFile = 1024 * 1024;

const char* const kStartOver = "^G";
const char* const kStartOverKey = "\a"; // Ctrl-G

// libedit in its unbuffered mode: the program waits in poll() and hands libedit one key at a
// time when one is there, so the port is served while the user types. el_gets then returns
// after every key with the line so far; a line that ends in LF has been entered.
//
// The terminal stays in libedit's editing mode from the first prompt to the end. A new line is
// started by libedit's own ed-start-over, fed from a key macro, not by leaving the unbuffered
// mode and entering it again: that would put the terminal back into its canonical mode with
// echo and signals for a moment after every line, and a key that came in meanwhile would be
// taken by the kernel (an erase, a kill, Ctrl-D as end of file, Ctrl-C as a signal that flushes
// the keys typed ahead) or echoed by it, instead of reaching the line editor.
class EditingConsole final : public Console {
  public:
    EditingConsole(const std::string& prompt, const std::string& historyFile)
        : m_prompt(prompt), m_historyFile(historyFile) {
        m_history = history_init();
        HistEvent event;
        history(m_history, &event, H_SETSIZE, kHistoryLength);
        history(m_history, &event, H_SETUNIQUE, 1);
        if (!m_historyFile.empty()) {
            if (const std::string refused = historyRefusal(m_historyFile); !refused.empty()) {
                std::fprintf(stderr, "portula-cmd: the history is not kept: %s\n", refused.c_str());
                m_historyFile.clear();
            } else {
                history(m_history, &event, H_LOAD, m_historyFile.c_str());
            }
        }
        m_editor = el_init("portula", stdin, stdout, stderr);
        el_set(m_editor, EL_CLIENTDATA, this);
        el_set(m_editor, EL_PROMPT, &EditingConsole::promptText);
        el_set(m_editor, EL_EDITOR, "emacs");
        el_set(m_editor, EL_HIST, history, m_history);
        // The terminal deals with Ctrl-C itself; libedit's handlers would pass signals on to
        // the whole process group.
        el_set(m_editor, EL_SIGNAL, 0);
        // Up and Down go through the history as a shell's do (libedit's default for them
        // searches it for the text before the cursor).
        el_set(m_editor, EL_BIND, "\\e[A", "ed-prev-history", nullptr);
        el_set(m_editor, EL_BIND, "\\e[B", "ed-next-history", nullptr);
        el_set(m_editor, EL_BIND, "\\eOA", "ed-prev-history", nullptr);
        el_set(m_editor, EL_BIND, "\\eOB", "ed-next-history", nullptr);
        // Ctrl-C is a key while a line is edited, not a signal: the kernel would raise the
        // signal as the key comes in, ahead of keys typed before it that are still unread.
        el_set(m_editor, EL_SETTY, "-d", "-isig", nullptr);
        el_set(m_editor, EL_ADDFN, "portula-interrupt", "clear the line, or end on an empty one",
               &EditingConsole::interruptKey);
        el_set(m_editor, EL_BIND, "^C", "portula-interrupt", nullptr);
        // The key that starts a new line (the emacs map leaves Ctrl-G unbound; typed, it clears
        // the line as it does for a new one).
        el_set(m_editor, EL_BIND, kStartOver, "ed-start-over", nullptr);
        // Ctrl-Z is a key too (signals are off while editing): it stops the program as the
        // shell's job control would.
        el_set(m_editor, EL_ADDFN, "portula-suspend", "stop, as Ctrl-Z does in a shell",
               &EditingConsole::suspendKey);
        el_set(m_editor, EL_BIND, "^Z", "portula-suspend", nullptr);
        el_set(m_editor, EL_UNBUFFERED, 1);
    }
    ~EditingConsole() override {
        close();
        // close() has put the terminal back as it was, waiting for what was shown to go out;
        // libedit's own restore at el_end would also throw away keys typed after the end,
        // which are the shell's.
        el_set(m_editor, EL_EDITMODE, 0);
        el_end(m_editor);
        history_end(m_history);
    }

    void readInput() override {
        if (m_closed)
            return;
        int count = 0;
        m_interruptKey = false;
        const char* line = el_gets(m_editor, &count);
        if (m_interruptKey) {
            if (!interrupt())
                return;
            m_ended = true;
            return;
        }
        if (!line || count <= 0)
            return;
        const std::string text(line, static_cast<std::size_t>(count));
        if (text == "\x04") { // Ctrl-D on an empty line
            m_ended = true;
            return;
        }
        if (text.back() != '\n')
            return;
        std::string entered = text.substr(0, text.size() - 1);
        remember(entered);
        m_lines.push_back(std::move(entered));
        newLine();
    }

    void show(const std::vector<std::string>& lines) override {
        if (lines.empty() || m_closed)
            return;
        // The prompt and the typed line are cleared, from the row the prompt starts on (a line
        // longer than the screen is wide takes several), the lines go where they were, and
        // libedit draws the prompt and what had been typed again under them, the cursor where
        // it was.
        std::string text = "\r";
        if (const std::size_t above = rowsAboveCursor(); above > 0)
            text += "\033[" + std::to_string(above) + "A";
        text += "\033[J";
        for (const std::string& line : lines)
            text += line + "\r\n";
        writeOut(text);
        el_set(m_editor, EL_REFRESH);
    }

    bool interrupt() override {
        if (m_closed)
            return true;
        const LineInfo* now = el_line(m_editor);
        if (now->lastchar == now->buffer)
            return true;
        newLine();
        return false;
    }

    void resize() override {
        if (!m_closed)
            el_resize(m_editor);
    }

    void suspend() override {
        if (m_closed || m_suspended)
            return;
        m_suspended = true;
        keepLine();
        el_set(m_editor, EL_UNBUFFERED, 0);
        writeOut("\r\033[K");
    }

    void resume() override {
        if (m_closed)
            return;
        // Whoever had the terminal meanwhile may have changed its mode: it is set again either
        // way.
        if (!m_suspended) {
            keepLine();
            el_set(m_editor, EL_UNBUFFERED, 0);
        }
        m_suspended = false;
        el_set(m_editor, EL_SETTY, "-d", "-isig", nullptr);
        // Entering the mode again starts an empty line under a fresh prompt: the line that was
        // being typed is put back, the cursor where it was.
        el_set(m_editor, EL_UNBUFFERED, 1);
        if (!m_keptLine.empty()) {
            el_insertstr(m_editor, m_keptLine.c_str());
            el_cursor(m_editor, -static_cast<int>(m_keptLine.size() - m_keptCursor));
        }
        // Drawn afresh over the prompt that entering the mode drew.
        writeOut("\r\033[K");
        el_set(m_editor, EL_REFRESH);
    }

    void close() override {
        if (m_closed)
            return;
        m_closed = true;
        el_set(m_editor, EL_UNBUFFERED, 0);
        // The cursor goes to a line of its own, so that the shell's prompt is not drawn after
        // ours.
        writeOut("\r\033[K\r\n");
    }

  private:
    static unsigned char interruptKey(EditLine* editor, int) {
        void* self = nullptr;
        el_get(editor, EL_CLIENTDATA, &self);
        static_cast<EditingConsole*>(self)->m_interruptKey = true;
        return CC_NORM;
    }

    // How many rows of the prompt and the typed line are above the cursor's.
    std::size_t rowsAboveCursor() const {
        winsize size{};
        if (::ioctl(1, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
            return 0;
        const LineInfo* now = el_line(m_editor);
        const auto column = m_prompt.size() + static_cast<std::size_t>(now->cursor - now->buffer);
        return column / size.ws_col;
    }

    void keepLine() {
        const LineInfo* now = el_line(m_editor);
        m_keptLine.assign(now->buffer, now->lastchar);
        m_keptCursor = static_cast<std::size_t>(now->cursor - now->buffer);
    }

    static unsigned char suspendKey(EditLine*, int) {
        ::raise(SIGTSTP); // the program's handler stops it once the terminal is put back
        return CC_NORM;
    }

    static char* promptText(EditLine* editor) {
        void* self = nullptr;
        el_get(editor, EL_CLIENTDATA, &self);
        return const_cast<char*>(static_cast<EditingConsole*>(self)->m_prompt.c_str());
    }

    // An empty line under a fresh prompt, the history's place back at its end. el_gets takes
    // the key from the macro, so it does not wait for the terminal.
    void newLine() {
        el_push(m_editor, kStartOverKey);
        int count = 0;
        el_gets(m_editor, &count);
    }

    // Every line but an empty one or a repeat of the last goes in the history, and the file is
    // written at once: a terminal that is killed keeps what was typed.
    void remember(const std::string& text) {
        if (text.empty())
            return;
        HistEvent event;
        history(m_history, &event, H_ENTER, text.c_str());
        if (m_historyFile.empty())
            return;
        makeFolders(m_historyFile);
        if (!saveHistory() && !m_historyFailed) {
            m_historyFailed = true;
            std::fprintf(stderr, "portula-cmd: the history cannot be kept in %s\r\n",
                         m_historyFile.c_str());
        }
    }

    // The whole history to a new file beside the old one, which it then replaces: nothing waits
    // on a reader, nothing is written through a link, a full disk leaves the old file as it was.
    bool saveHistory() {
        if (!historyRefusal(m_historyFile).empty())
            return false;
        std::string temporary = m_historyFile + ".XXXXXX";
        const int fd = ::mkstemp(temporary.data());
        if (fd < 0)
            return false;
        FILE* out = ::fdopen(fd, "w");
        if (!out) {
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        HistEvent event;
        bool ok = history(m_history, &event, H_SAVE_FP, out) >= 0;
        ok = std::fflush(out) == 0 && ok;
        ok = std::fclose(out) == 0 && ok;
        ok = ok && ::rename(temporary.c_str(), m_historyFile.c_str()) == 0;
        if (!ok)
            ::unlink(temporary.c_str());
        return ok;
    }

    std::string m_prompt;
    std::string m_historyFile;
    EditLine* m_editor = nullptr;
    History* m_history = nullptr;
    bool m_historyFailed = false;
    bool m_interruptKey = false; // Ctrl-C was the key just read
    bool m_closed = false;
    bool m_suspended = false;
    std::string m_keptLine; // the line being typed when the program stopped
    std::size_t m_keptCursor = 0;
};

// Lines as a script gives them: up to each LF, a CR before it dropped.
class PlainConsole final : public Console {
  public:
    void readInput() override {
        char chunk[4096];
        const ssize_t n = ::read(0, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            return;
        if (n <= 0) {
            if (!m_buffer.empty())
                m_lines.push_back(std::move(m_buffer));
            m_buffer.clear();
            m_ended = true;
            return;
        }
        std::string_view bytes(chunk, static_cast<std::size_t>(n));
        if (m_discarding) {
            // The rest of a line already refused: none of it is a line of its own.
            const std::size_t end = bytes.find('\n');
            if (end == std::string_view::npos)
                return;
            bytes.remove_prefix(end + 1);
            m_discarding = false;
        }
        m_buffer.append(bytes);
        for (std::size_t end; (end = m_buffer.find('\n')) != std::string::npos;) {
            std::string line = m_buffer.substr(0, end);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            m_lines.push_back(std::move(line));
            m_buffer.erase(0, end + 1);
        }
        // A line far past the longest command is handed on as it is, to be refused, rather
        // than held in memory however long it grows; what is left of it up to its end is
        // dropped, never sent as a line.
        if (m_buffer.size() > kLongest) {
            m_lines.push_back(std::move(m_buffer));
            m_buffer.clear();
            m_discarding = true;
        }
    }

    void show(const std::vector<std::string>& lines) override {
        std::string text;
        for (const std::string& line : lines)
            text += line + "\n";
        writeOut(text);
    }

    bool interrupt() override { return true; }

  private:
    static constexpr std::size_t kLongest = 65536;
    std::string m_buffer;
    bool m_discarding = false; // within a line too long to keep
};

} // namespace

int firstOutputError() {
    return g_firstOutputError;
}

std::string historyRefusal(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? "" : path + ": " + std::strerror(errno);
    if (S_ISLNK(st.st_mode))
        return path + " is a link (the history is kept only in a file of its own)";
    if (S_ISFIFO(st.st_mode))
        return path + " is a FIFO";
    if (S_ISDIR(st.st_mode))
        return path + " is a folder";
    if (!S_ISREG(st.st_mode))
        return path + " is not a regular file";
    if (st.st_size > kMaxHistoryFile)
        return path + " is larger than 1 MB";
    return "";
}

std::unique_ptr<Console> editingConsole(const std::string& prompt, const std::string& historyFile) {
    return std::make_unique<EditingConsole>(prompt, historyFile);
}

std::unique_ptr<Console> plainConsole() {
    return std::make_unique<PlainConsole>();
}

} // namespace cmd
