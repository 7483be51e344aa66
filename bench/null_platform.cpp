// A platform that only stores levels: the four GPIO calls at their cheapest.
// It lives in its own translation unit so the calls cannot be inlined into
// the code that makes them, as with a shared library on the Pi.

#include "../src/gpio_platform.h"

namespace {
int levels[64];
}

extern "C" int wiringPiSetup(void) { return 0; }
extern "C" void pinMode(int, int) {}
extern "C" void digitalWrite(int pin, int value) { levels[pin & 63] = value; }
extern "C" int digitalRead(int pin) { return levels[pin & 63]; }
