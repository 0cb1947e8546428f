#include "sim/ModbusSlave.h"

namespace sim {

namespace {

// The most a request may read or write at once, as the protocol bounds them by the frame.
constexpr unsigned kMostBitsRead = 2000;
constexpr unsigned kMostRegistersRead = 125;
constexpr unsigned kMostBitsWritten = 1968;
constexpr unsigned kMostRegistersWritten = 123;

unsigned word(std::string_view bytes, std::size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) << 8 |
           static_cast<unsigned char>(bytes[at + 1]);
}

void appendWord(std::string& out, unsigned value) {
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
    out.push_back(static_cast<char>(value & 0xFF));
}

std::string exception(std::uint8_t function, ModbusException code) {
    return {static_cast<char>(function | 0x80), static_cast<char>(code)};
}

bool fits(unsigned start, unsigned quantity) {
    return start + quantity <= kModbusTableSize;
}

// Bits packed eight a byte, the first in the lowest bit.
std::string packBits(const std::vector<char>& bits, unsigned start, unsigned quantity) {
    std::string bytes((quantity + 7) / 8, '\0');
    for (unsigned i = 0; i < quantity; ++i)
        if (bits[start + i])
            bytes[i / 8] = static_cast<char>(bytes[i / 8] | (1 << (i % 8)));
    return bytes;
}

} // namespace

std::uint16_t firstHoldingRegister(std::uint8_t id, unsigned n, bool twin) {
    const auto value = static_cast<std::uint16_t>(100u * id + n);
    return twin ? static_cast<std::uint16_t>(~value) : value;
}

std::uint16_t firstInputRegister(std::uint8_t id, unsigned n, bool twin) {
    const auto value = static_cast<std::uint16_t>(10000u + 100u * id + n);
    return twin ? static_cast<std::uint16_t>(~value) : value;
}

bool firstCoil(std::uint8_t id, unsigned n, bool twin) {
    return ((n + id) % 3 == 0) != twin;
}

bool firstDiscreteInput(std::uint8_t id, unsigned n, bool twin) {
    return ((n + id) % 2 == 1) != twin;
}

ModbusSlave::ModbusSlave(std::uint8_t id, bool twin)
    : m_id(id), m_holding(kModbusTableSize), m_input(kModbusTableSize), m_coils(kModbusTableSize),
      m_discrete(kModbusTableSize) {
    for (unsigned n = 0; n < kModbusTableSize; ++n) {
        m_holding[n] = firstHoldingRegister(id, n, twin);
        m_input[n] = firstInputRegister(id, n, twin);
        m_coils[n] = firstCoil(id, n, twin);
        m_discrete[n] = firstDiscreteInput(id, n, twin);
    }
}

std::optional<std::string> ModbusSlave::answer(std::string_view request) {
    if (request.size() < 2)
        return std::nullopt;
    const auto to = static_cast<std::uint8_t>(request[0]);
    if (to != m_id && to != kModbusBroadcast)
        return std::nullopt;
    const auto function = static_cast<std::uint8_t>(request[1]);
    const bool write = function == kWriteSingleCoil || function == kWriteSingleRegister ||
                       function == kWriteMultipleCoils || function == kWriteMultipleRegisters;
    if (to == kModbusBroadcast) {
        if (write)
            execute(request.substr(1));
        return std::nullopt;
    }
    return static_cast<char>(m_id) + execute(request.substr(1));
}

std::string ModbusSlave::execute(std::string_view pdu) {
    const auto function = static_cast<std::uint8_t>(pdu[0]);
    const std::string_view data = pdu.substr(1);
    switch (function) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kReadHoldingRegisters:
    case kReadInputRegisters: {
        if (data.size() != 4)
            return exception(function, kIllegalDataValue);
        const unsigned start = word(data, 0);
        const unsigned quantity = word(data, 2);
        const bool bits = function == kReadCoils || function == kReadDiscreteInputs;
        if (quantity == 0 || quantity > (bits ? kMostBitsRead : kMostRegistersRead))
            return exception(function, kIllegalDataValue);
        if (!fits(start, quantity))
            return exception(function, kIllegalDataAddress);
        std::string values;
        if (bits) {
            values = packBits(function == kReadCoils ? m_coils : m_discrete, start, quantity);
        } else {
            const std::vector<std::uint16_t>& table =
                function == kReadHoldingRegisters ? m_holding : m_input;
            for (unsigned i = 0; i < quantity; ++i)
                appendWord(values, table[start + i]);
        }
        return std::string{static_cast<char>(function), static_cast<char>(values.size())} + values;
    }
    case kWriteSingleCoil:
    case kWriteSingleRegister: {
        if (data.size() != 4)
            return exception(function, kIllegalDataValue);
        const unsigned address = word(data, 0);
        const unsigned value = word(data, 2);
        if (function == kWriteSingleCoil && value != 0xFF00 && value != 0x0000)
            return exception(function, kIllegalDataValue);
        if (!fits(address, 1))
            return exception(function, kIllegalDataAddress);
        if (function == kWriteSingleCoil)
            m_coils[address] = value == 0xFF00;
        else
            m_holding[address] = static_cast<std::uint16_t>(value);
        return std::string(pdu); // the request, as it came
    }
    case kWriteMultipleCoils:
    case kWriteMultipleRegisters: {
        if (data.size() < 5)
            return exception(function, kIllegalDataValue);
        const unsigned start = word(data, 0);
        const unsigned quantity = word(data, 2);
        const auto count = static_cast<unsigned char>(data[4]);
        const bool bits = function == kWriteMultipleCoils;
        const unsigned most = bits ? kMostBitsWritten : kMostRegistersWritten;
        const unsigned needed = bits ? (quantity + 7) / 8 : quantity * 2;
        if (quantity == 0 || quantity > most || count != needed || data.size() != 5u + count)
            return exception(function, kIllegalDataValue);
        if (!fits(start, quantity))
            return exception(function, kIllegalDataAddress);
        const std::string_view values = data.substr(5);
        for (unsigned i = 0; i < quantity; ++i) {
            if (bits)
                m_coils[start + i] = (static_cast<unsigned char>(values[i / 8]) >> (i % 8)) & 1;
            else
                m_holding[start + i] = static_cast<std::uint16_t>(word(values, 2 * i));
        }
        std::string reply{static_cast<char>(function)};
        appendWord(reply, start);
        appendWord(reply, quantity);
        return reply;
    }
    default:
        return exception(function, kIllegalFunction);
    }
}

} // namespace sim
