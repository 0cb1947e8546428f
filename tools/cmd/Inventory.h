#pragma once
// What a scan found on a plant's buses, as a file to keep and compare with the next scan.
//
// The file is one JSON object:
//   {"format":"portula-inventory","version":1,"modules":[
//    {"port":"/dev/ttyUSB0","address":"01","baud":9600,"checksum":false,"name":"ADAM","firmware":"A1.07"},
//    ...]}
// "port" is the port as it was given to the scan, "baud" null for a raw TCP port (the server's
// rate), "firmware" null when the module did not say. Readers ignore keys they do not know, so
// later versions may add some; a change of meaning gets a new "version".

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cmd {

struct Module {
    std::string port;
    std::string address; // two hex digits, upper case
    unsigned baud = 0;   // 0: the server's rate
    bool checksum = false;
    std::string name;
    std::optional<std::string> firmware{};
    bool operator==(const Module&) const = default;
};

// One module as the scan prints it with --json: an object on one line.
std::string moduleJson(const Module& m);
// A module from such a line (keys in any order, unknown keys ignored); nullopt when it is not
// one.
std::optional<Module> parseModule(std::string_view json);

std::string inventoryJson(const std::vector<Module>& modules);
// The modules of an inventory file, or nullopt with error saying what is wrong with it.
std::optional<std::vector<Module>> parseInventory(std::string_view text, std::string& error);

// What changed from `before` to `now`: a module is its port and address; anything else of it
// that differs is a change.
struct Change {
    Module before, now;
};
struct Differences {
    std::vector<Module> added, missing;
    std::vector<Change> changed;
    bool empty() const { return added.empty() && missing.empty() && changed.empty(); }
};
Differences compareInventories(const std::vector<Module>& before, const std::vector<Module>& now);
// The differences as lines for a person: "added   PORT ADDR ...", "missing ...", "changed ...:
// baud 9600 -> 19200, firmware A1.07 -> A1.08".
std::string describeDifferences(const Differences& d);

} // namespace cmd
