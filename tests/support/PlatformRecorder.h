#pragma once
// Recording stand-ins for the serial and slot libraries: every call with its arguments, and
// scripted results.

#include <cstdint>
#include <string>
#include <vector>

namespace recorder {

struct Call {
    std::string function;
    std::vector<long long> args; // integer arguments, in order
    std::string bytes;           // bytes handed over (Send_Binary, Send_Receive_Cmd)
};

struct Script {
    std::uint16_t openResult = 0;
    std::uint16_t commandResult = 0;
    std::string commandReply;             // written into the reply buffer
    std::string receiveChunk;             // handed out by the next Receive_Cmd (then emptied)
    std::vector<std::string> laterChunks; // waiting behind receiveChunk, in order
    std::uint32_t dataWaiting = 0;        // what DataSizeInCom reports
    std::string lastError;                // what UARTCE_LastError hands out
};

Script& script();
const std::vector<Call>& calls();
std::vector<Call> callsTo(const std::string& function);
void reset();

} // namespace recorder
