// One client's session with the instrument: its error queue, its IEEE
// 488.2 event status, its data format, and what it has been told of the
// words lost. A session is the same whichever transport carries it; it
// never sees a socket, and no command is run from here (scpi/executor.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "scpi/errors.h"

struct scpi_error {
    int code;
    std::string text;
};

constexpr std::size_t error_queue_size = 16;

struct scpi_session {
    std::deque<scpi_error> errors; // oldest first, at most error_queue_size
    int esr = 0;                   // standard event status register
    int ese = 0;                   // its enable mask
    int sre = 0;                   // service request enable
    bool integer_format = false;   // FORMat INTeger,32, else ASCii
    bool swapped = false;          // FORMat:BORDer SWAPped: least significant byte first
    std::uint64_t loss_told = 0;   // words lost and gaps this session has read (DATA:LOST?)
    std::uint64_t lost_seen = 0, gaps_seen = 0, runs_seen = 0; // for the status event registers
    std::size_t most_in_flight = 8u << 20; // words it may have taken and not shown delivered
    bool lock_wait = true;         // its messages wait while another client holds the lock (SYST:LOCK:WAIT)
};

// Queues an error (its text made safe: error_message). With the queue
// full, its last entry becomes Queue overflow.
void push_error(scpi_session &s, scpi_err e, const std::string &detail);

// The status byte (*STB?): bit 2 error queue not empty, bit 5 ESB, bit 6 MSS.
int status_byte(const scpi_session &s);
