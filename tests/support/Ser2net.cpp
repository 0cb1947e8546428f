#include "support/Ser2net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {
sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}
} // namespace

int freeLocalPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t length = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

bool waitUntilAccepting(int port, int withinMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(withinMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = loopback(port);
        const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (ok)
            return true;
        // Refused at once while the server starts: pace the attempts, so that the poll does
        // not take the CPU the starting server needs.
        ::poll(nullptr, 0, 20);
    }
    return false;
}

Ser2net::Ser2net(const std::vector<Accepter>& accepters) : m_accepters(accepters) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "portula-ser2net-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return;
    m_dir = pattern;
    std::ostringstream yaml;
    for (std::size_t i = 0; i < accepters.size(); ++i) {
        const int port = freeLocalPort();
        m_ports.push_back(port);
        yaml << "connection: &c" << i << "\n"
             << "  accepter: "
             << (accepters[i].protocol == Protocol::Rfc2217 ? "telnet(rfc2217),tcp," : "tcp,")
             << "127.0.0.1," << port << "\n"
             << "  connector: serialdev," << accepters[i].device << ",9600n81,local\n";
    }
    const std::string config = m_dir + "/ser2net.yaml";
    std::ofstream(config) << yaml.str();

    const std::string program = SER2NET_PATH;
    const std::string pidFile = m_dir + "/ser2net.pid";
    const std::string logFile = m_dir + "/ser2net.log";
    m_child = std::make_unique<Program>(
        std::vector<std::string>{program, "-n", "-u", "-c", config, "-P", pidFile},
        ProgramOptions{.output = ProgramOptions::Output::File, .outputFile = logFile});
    if (!m_child->started())
        return;
    m_running = true;
    for (int port : m_ports)
        m_running = m_running && waitUntilAccepting(port, 10000);
}

Ser2net::~Ser2net() {
    stop();
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

std::string Ser2net::url(std::size_t accepter) const {
    return std::string(m_accepters.at(accepter).protocol == Protocol::Rfc2217 ? "rfc2217://"
                                                                              : "socket://") +
           "127.0.0.1:" + std::to_string(port(accepter));
}

std::string Ser2net::log() const {
    std::ifstream in(m_dir + "/ser2net.log");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void Ser2net::stop() {
    if (m_child)
        m_child->stop(SIGTERM);
    m_child.reset();
    m_running = false;
}

} // namespace testsupport
