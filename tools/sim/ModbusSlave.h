#pragma once
// A Modbus slave of the simulated line: four tables (coils, discrete inputs, holding and input
// registers) whose first contents follow from the slave's id and the address alone, so that a
// test can predict every value it reads, and the eight functions that read and write them.
// Requests and replies here are the frame's payload (slave id, function, data): the line
// checks and adds the CRC or LRC.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Addresses 0 to kModbusTableSize - 1 in every table (the protocol's addresses, counted from
// 0; a master's "reference 1" is address 0).
inline constexpr unsigned kModbusTableSize = 1000;

// The broadcast id: every slave carries out a write, none answers.
inline constexpr std::uint8_t kModbusBroadcast = 0;

// Function codes the slaves know.
enum ModbusFunction : std::uint8_t {
    kReadCoils = 1,
    kReadDiscreteInputs = 2,
    kReadHoldingRegisters = 3,
    kReadInputRegisters = 4,
    kWriteSingleCoil = 5,
    kWriteSingleRegister = 6,
    kWriteMultipleCoils = 15,
    kWriteMultipleRegisters = 16,
};

// Exception codes the slaves give.
enum ModbusException : std::uint8_t {
    kIllegalFunction = 1,
    kIllegalDataAddress = 2,
    kIllegalDataValue = 3,
};

// What each table holds before anything is written, at address n of slave `id`:
// holding register 100 * id + n, input register 10000 + 100 * id + n, a coil on when n + id is
// a multiple of 3, a discrete input on when n + id is odd. A twin (the second slave at the id
// when replies collide) holds the opposite: every register's bits inverted, every bit flipped.
std::uint16_t firstHoldingRegister(std::uint8_t id, unsigned n, bool twin = false);
std::uint16_t firstInputRegister(std::uint8_t id, unsigned n, bool twin = false);
bool firstCoil(std::uint8_t id, unsigned n, bool twin = false);
bool firstDiscreteInput(std::uint8_t id, unsigned n, bool twin = false);

class ModbusSlave {
  public:
    explicit ModbusSlave(std::uint8_t id, bool twin = false);

    std::uint8_t id() const { return m_id; }

    // The reply payload to a request payload whose check has passed: for this slave's id, the
    // function's answer or an exception (1 an unknown function, 2 an address outside the
    // table, 3 a quantity, byte count, coil value or length the function does not take). A
    // broadcast write is carried out and gets no reply; a request for another id none either.
    std::optional<std::string> answer(std::string_view request);

    std::uint16_t holdingRegister(unsigned n) const { return m_holding.at(n); }
    bool coil(unsigned n) const { return m_coils.at(n) != 0; }

  private:
    std::string execute(std::string_view pdu);

    std::uint8_t m_id;
    std::vector<std::uint16_t> m_holding;
    std::vector<std::uint16_t> m_input;
    std::vector<char> m_coils;
    std::vector<char> m_discrete;
};

} // namespace sim
