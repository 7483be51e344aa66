// The instrument link: the eighteen-line parallel bus to the instrument and
// the operations built on it. Nothing else in the program touches a GPIO line.
//
// Every operation is one or more frames. A frame is four command bytes, most
// significant first: a header (bit 7 set for a write, bits 2..0 the register
// address) and 24 data bits; a read frame then clocks in four reply bytes,
// least significant first. Arguments are masked to their field widths here,
// so callers may pass any int.
#pragma once

// Bus lines, by wiringPi pin number. Bit j of every bus byte travels on entry
// j; entries 8 and 9 of gpio_out are the strobe and the active-low select.
extern const int gpio_out[10];
extern const int gpio_in[8];

constexpr int gpio_strobe_entry = 8;
constexpr int gpio_select_entry = 9;

// Lines that are given a direction at start-up and never touched again.
struct aux_line {
    int pin;
    int mode;
};
extern const aux_line gpio_aux[5];

// Bus port.
void setup_io();
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
int datasize();
int readDATA(int count, int *buffer, int capacity);
