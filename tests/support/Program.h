#pragma once
// A program run as a child of the test or the benchmark: started with posix_spawn, its
// standard input a pipe or /dev/null, its outputs collected (or sent to a file, or dropped),
// signalled, and reaped within a deadline. The one way the harness starts a program.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace testsupport {

struct ProgramOptions {
    enum class Output { Pipes, File, Discard };
    // Standard input: a pipe the caller writes (input(), send()), or /dev/null.
    bool inputPipe = false;
    // Standard output and error: each collected from its own pipe, both appended to
    // `outputFile`, or both dropped.
    Output output = Output::Pipes;
    std::string outputFile = {};
    // argv[0] looked up on PATH, as a shell would.
    bool searchPath = false;
    // Its own session, so that signals the harness's process group gets do not reach it.
    bool newSession = false;
    // Variables set for the child on top of the harness's environment.
    std::vector<std::pair<std::string, std::string>> environment = {};
};

class Program {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Program(const std::vector<std::string>& argv, ProgramOptions options = {});
    // A child still running is killed and reaped.
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    int input() const { return m_in; }
    // Writes all of `text` to standard input; false when it could not.
    bool send(std::string_view text) const;
    void closeInput();
    // Stops reading standard output: a program that writes more then gets EPIPE.
    void closeOutput();

    // What each output has said so far.
    const std::string& out() const { return m_out; }
    const std::string& err() const { return m_err; }
    // Reads both outputs until `enough` holds for standard output, both have ended, or the
    // deadline passed; whether `enough` held.
    bool readUntil(const std::function<bool(const std::string&)>& enough,
                   std::chrono::milliseconds within);
    // Standard output up to its first line end (without it); empty when none came in time.
    std::string firstLine(std::chrono::milliseconds within);

    // Reads both outputs (and writes `pending` to standard input, then closes it) until the
    // program ends; at the deadline it is killed. True when it ended by itself in time.
    bool finish(std::chrono::milliseconds within, std::string_view pending = {});
    // Signals the program and reaps it, however long that takes.
    void stop(int signal);
    void signal(int signal) const;

    // Once it has ended: its exit status, or -1 when a signal ended it.
    int exitCode() const;
    int rawStatus() const { return m_status; }
    // The most memory it held, and the processor time it used, once it has ended.
    long maxResidentKiB() const { return m_usage.ru_maxrss; }
    double cpuMs() const;

  private:
    // One poll over the open outputs (and standard input while `pending` is left); false at
    // the deadline or when there is nothing left to wait on.
    bool pump(Clock::time_point deadline, std::string_view& pending);
    void reap();

    pid_t m_pid = -1;
    int m_in = -1, m_outFd = -1, m_errFd = -1;
    bool m_reaped = false;
    int m_status = 0;
    rusage m_usage{};
    std::string m_out, m_err;
};

// A program run to its end: `input` on its standard input (else /dev/null), both outputs
// collected, killed at the deadline.
struct Ran {
    bool started = false;
    bool inTime = false;
    int exit = -1; // -1 when it did not start, was killed or ended by a signal
    std::string out, err;
};
Ran run(const std::vector<std::string>& argv, const std::optional<std::string>& input = {},
        std::chrono::milliseconds within = std::chrono::seconds(60));
// The same for a line of shell (sh -c), for tests that need its redirections or limits.
Ran runShell(const std::string& line, std::chrono::milliseconds within = std::chrono::seconds(60));

} // namespace testsupport
