// A program's terminal settings as the serial line settings of a port.
#pragma once

#include <termios.h>

#include <cstdint>

namespace quorvel {

// Values as SERIAL_LINE_CONTROL and the DCB have them.
enum : std::uint8_t { kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3, kSpaceParity = 4 };
enum : std::uint8_t { kOneStopBit = 0, kTwoStopBits = 2 };

struct LineConfig {
    std::uint32_t baud = 9600;
    std::uint8_t dataBits = 8;
    std::uint8_t parity = kNoParity;
    std::uint8_t stopBits = kOneStopBit;
    bool rtsCts = false;     // CRTSCTS
    bool xonOutput = false;  // IXON: our output obeys XOFF
    bool xonInput = false;   // IXOFF: we send XOFF
    bool operator==(const LineConfig &) const = default;
};

// Baud 0 (hang-up) and unknown speeds are read as 9600.
LineConfig LineConfigFromTermios(const termios &t);
std::uint32_t BaudFromSpeed(speed_t speed);
unsigned LineBitsPerCharacter(const LineConfig &config);

}  // namespace quorvel
