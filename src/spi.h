// The instrument link: the eighteen-line parallel bus to the instrument and
// the operations built on it. Nothing else in the program touches a GPIO line.
//
// Every operation is one or more frames. A frame is four command bytes, most
// significant first: a header (bit 7 set for a write, bits 2..0 the register
// address) and 24 data bits; a read frame then clocks in four reply bytes,
// least significant first. Arguments are masked to their field widths here,
// so callers may pass any int.
#pragma once

#include <cstdint>

// The bus lines, by wiringPi pin number, are in bus_pins.h.

// Bus port.
// Sets the platform up and gives every line its direction. False when the
// platform could not set up (it says why; platform.h gives the status to
// end with): nothing was driven.
bool setup_io();
void gpio_write(int address, int data);
int gpio_read(int address, int data);

// Run control and the interface test.
void reset();
void start();
void stop();
int run();
int ifc_rd(int value);

// Acquisition settings.
void setPeriod(int period);
int setTHR(int threshold);
void setPOL(int polarity);

// Read-out. The instrument reports at most max_data_words at a time (its
// size field is 12 bits wide). readDATA reads count words, but never more
// than the caller's buffer holds, into buffer[0..]; it returns how many it
// read. Words beyond the capacity stay in the instrument.
constexpr int max_data_words = 4095;

// A data word is stored whole: all 32 bits, signed, as the instrument sent
// them. What its bits mean beyond that is the instrument's to say.
int datasize();
int readDATA(int count, int *buffer, int capacity);
