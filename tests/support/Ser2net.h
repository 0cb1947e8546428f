#pragma once
// ser2net run by a test: each accepter on 127.0.0.1 and a free port, bridging to its own
// device. Started in the foreground from a generated configuration; stopped by the test or at
// the end of the object.

#include "support/Program.h"

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLocalPort();

// Polls until 127.0.0.1:port accepts a connection or the time is up.
bool waitUntilAccepting(int port, int withinMs);

class Ser2net {
  public:
    enum class Protocol { Rfc2217, Raw };
    struct Accepter {
        Protocol protocol;
        std::string device; // the tty it bridges to
    };

    explicit Ser2net(const std::vector<Accepter>& accepters);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    // Every accepter took connections in time.
    bool running() const { return m_running; }
    int port(std::size_t accepter) const { return m_ports.at(accepter); }
    // rfc2217://127.0.0.1:PORT or socket://127.0.0.1:PORT for an accepter.
    std::string url(std::size_t accepter) const;
    // What ser2net wrote, for a failure message.
    std::string log() const;
    void stop();

  private:
    std::vector<Accepter> m_accepters;
    std::vector<int> m_ports;
    std::string m_dir;
    std::unique_ptr<Program> m_child;
    bool m_running = false;
};

} // namespace testsupport
