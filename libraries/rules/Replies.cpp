#include "rules/Replies.h"

#include "rules/Framing.h"

namespace portula {

namespace {
bool isHex(char c) {
    return hexDigit(c) >= 0;
}
char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
bool oneOf(std::string_view set, char c) {
    return set.find(c) != std::string_view::npos;
}
} // namespace

bool isAddress(std::string_view text) {
    return text.size() == 2 && isHex(text[0]) && isHex(text[1]);
}

std::optional<std::string> commandAddress(std::string_view command) {
    if (command.size() < 3 || !oneOf("$#%@~", command[0]) || !isAddress(command.substr(1, 2)))
        return std::nullopt;
    return std::string(command.substr(1, 2));
}

std::optional<std::string> replyAddress(std::string_view reply) {
    if (reply.size() < 3 || (reply[0] != '!' && reply[0] != '?') || !isAddress(reply.substr(1, 2)))
        return std::nullopt;
    return std::string(reply.substr(1, 2));
}

bool sameAddress(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return true;
}

bool replyNamesModule(std::string_view command) {
    return commandAddress(command) && oneOf("$%~", command[0]);
}

bool hasReplyForm(std::string_view line, char lead) {
    const bool namesModule = oneOf("$%~", lead);
    const bool reading = lead == '#' || lead == '@';
    if (replyAddress(line))
        return line[0] == '?' || !reading;
    return !line.empty() && line[0] == '>' && !namesModule;
}

} // namespace portula
