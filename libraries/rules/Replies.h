#pragma once
// Which module a command is for and which a reply is from, and what form a reply takes.
//
// An addressed command is $AA, #AA, %AA, @AA or ~AA, AA two hex digits. Its module answers
// !AA... (done) or ?AA... (not taken) to $, % and ~; a reading (# and @) is answered >... with no
// address, or ?AA.... Addresses compare without regard to case: 0A and 0a are one module.

#include <optional>
#include <string>
#include <string_view>

namespace portula {

// The two address characters of an addressed command, as the module's reply repeats them.
std::optional<std::string> commandAddress(std::string_view command);
// The address a reply carries ("!01..." and "?01..."), if any.
std::optional<std::string> replyAddress(std::string_view reply);
bool sameAddress(std::string_view a, std::string_view b);
// Exactly two hex digits.
bool isAddress(std::string_view text);
// Whether every reply to the command names its module (!AA, ?AA): true for $, % and ~ commands.
// Readings (#AA, @AA) answer with > and no address, as does anything unaddressed, so a late
// answer to one of those could pass for any module's.
bool replyNamesModule(std::string_view command);
// Whether a line has the form of a reply to an addressed command with that lead character:
// ?AA... (a command the module did not take) to any; !AA... to those whose replies name the
// module ($, %, ~); >... to readings (#, @) and any other lead.
bool hasReplyForm(std::string_view line, char lead);

} // namespace portula
