#include "lineconfig.h"

#include "framing.h"

namespace quorvel {

std::uint32_t BaudFromSpeed(speed_t speed)
{
    switch (speed) {
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B500000: return 500000;
    case B576000: return 576000;
    case B921600: return 921600;
    case B1000000: return 1000000;
    case B1152000: return 1152000;
    case B1500000: return 1500000;
    case B2000000: return 2000000;
    default: return 9600;
    }
}

LineConfig LineConfigFromTermios(const termios &t)
{
    LineConfig c;
    c.baud = BaudFromSpeed(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5: c.dataBits = 5; break;
    case CS6: c.dataBits = 6; break;
    case CS7: c.dataBits = 7; break;
    default: c.dataBits = 8; break;
    }
    if (t.c_cflag & PARENB) {
        bool odd = (t.c_cflag & PARODD) != 0;
        if (t.c_cflag & CMSPAR)
            c.parity = odd ? kMarkParity : kSpaceParity;
        else
            c.parity = odd ? kOddParity : kEvenParity;
    }
    c.stopBits = (t.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
    c.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    c.xonOutput = (t.c_iflag & IXON) != 0;
    c.xonInput = (t.c_iflag & IXOFF) != 0;
    return c;
}

unsigned LineBitsPerCharacter(const LineConfig &config)
{
    return BitsPerCharacter(config.dataBits, config.parity != kNoParity, config.stopBits == kTwoStopBits ? 2 : 1);
}

}  // namespace quorvel
