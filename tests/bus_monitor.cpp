#include "bus_monitor.h"

#include <iomanip>

namespace {

std::vector<std::uint8_t> command_bytes(std::uint32_t word)
{
    return {static_cast<std::uint8_t>(word >> 24), static_cast<std::uint8_t>(word >> 16),
            static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word)};
}

void print_bytes(std::ostream &os, const std::vector<std::uint8_t> &bytes)
{
    for (std::uint8_t b : bytes)
        os << ' ' << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(b) << std::dec;
}

} // namespace

expected_frame write_frame(int address, std::uint32_t data)
{
    return {command_bytes(0x80000000u | static_cast<std::uint32_t>(address) << 24 | (data & 0xFFFFFFu)), {}};
}

expected_frame read_frame(int address, std::uint32_t data)
{
    return {command_bytes(static_cast<std::uint32_t>(address) << 24 | (data & 0xFFFFFFu)), {}};
}

std::ostream &operator<<(std::ostream &os, const observed_frame &frame)
{
    os << "frame: command";
    print_bytes(os, frame.command);
    os << ", reply";
    print_bytes(os, frame.reply);
    return os << ", " << frame.writes << " writes, " << frame.reads << " reads";
}

std::ostream &operator<<(std::ostream &os, const expected_frame &frame)
{
    os << "frame: command";
    print_bytes(os, frame.command);
    return os;
}
