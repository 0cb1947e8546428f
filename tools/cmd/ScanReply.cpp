// What a scan makes of a line that came back: one rule, whether the line came in time as the
// reply to its own command or later, while another address was asked.

#include "cmd/Cli.h"

#include "rules/Framing.h"
#include "rules/Replies.h"

#include <cctype>

namespace cmd {

std::optional<ScanAnswer> judgeScanReply(std::string_view line, bool checksum) {
    // A CR LF or LF CR ending, or an LF left from the line before, is no part of the reply.
    while (!line.empty() && (line.front() == '\n' || line.front() == '\r'))
        line.remove_prefix(1);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    if (checksum) {
        std::size_t payload = 0;
        if (!portula::verifyReplyChecksum(line, payload))
            return std::nullopt;
        line = line.substr(0, payload);
    }
    const std::optional<std::string> address = portula::replyAddress(line);
    if (!address)
        return std::nullopt;
    ScanAnswer answer;
    for (char c : *address)
        answer.address.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    answer.unknownCommand = line[0] == '?';
    if (!answer.unknownCommand)
        answer.name = std::string(line.substr(3));
    return answer;
}

} // namespace cmd
