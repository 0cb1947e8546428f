#pragma once
// The terminal dialog in this process, off-screen, driven as its operator drives it in the CR
// mode: COM2 is the simulator's pseudo-terminal, the checksum box is ticked or not while the
// port is closed, Open_Com opens it, and each command is typed into Send_String and sent with
// Send_Message; the receive field then shows the reply or "Err_Code = N".

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace campaign {

class DialogSession {
  public:
    // A new dialog, as the program shows it when it starts, with COM2 naming `device`.
    explicit DialogSession(const std::string& device);
    ~DialogSession();
    DialogSession(const DialogSession&) = delete;
    DialogSession& operator=(const DialogSession&) = delete;

    // Sets the checksum box and clicks Open_Com: empty, or why the port did not open.
    std::string open(bool checksum);
    // Clicks Close_Com when the port is open.
    void close();

    struct Sent {
        bool clicked = false;      // Send_Message was enabled and clicked
        std::string field;         // the receive field afterwards, as Latin-1 bytes
        bool beyondLatin1 = false; // the field held characters no byte stands for
        std::int64_t startUs = 0;  // steady clock, before the click
        std::int64_t endUs = 0;    // after the click was handled
    };
    // Types the command and clicks Send_Message.
    Sent send(const std::string& command);
    // The operator's pause between commands: the dialog's timers run meanwhile, its receive
    // poll among them.
    void pause(unsigned ms);
    // Message boxes the dialog put up (recorded instead of shown).
    std::vector<std::string> messages() const;

  private:
    struct Parts;
    std::unique_ptr<Parts> m;
};

} // namespace campaign
