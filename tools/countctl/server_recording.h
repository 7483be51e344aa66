// acquire --server HOST[:PORT]: a run of an scpi_server's instrument,
// recorded by index from the server's journal over its SCPI socket. A read
// takes nothing, so an answer lost with its connection is asked for again:
// the connection is made again and the recording goes on at its index. A
// new connection is first asked which journal it speaks for, so that a
// server that started again is told from a gap; the file says so, and says
// every word the journal no longer held. No word is written twice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "acquisition_run.h"
#include "scpi_link.h"

class server_recording {
public:
    explicit server_recording(const server_address &where);
    // Connects, sends the settings, notes the journal in the header and
    // starts the run: 0, or the exit status, said on `s.err`.
    int start_recording(acquisition_state &s);
    // Reads the run until its end (the target, the time limit, a stop
    // signal, the output's failure), then stops it; after the time limit
    // the words measured before the stop are read too.
    ending record_by_index(acquisition_state &s, const recording_steps &steps);

private:
    server_address where_;
    scpi_link link_;
    std::string identity_;             // the journal read from
    std::uint64_t next_ = 0;           // the next index to read
    unsigned long checked_ = 0;        // the connection whose journal was checked
    bool lost_ = false;                // the connection is lost; said once
    std::string lost_why_;

    bool ask_server(const std::string &message, std::vector<std::string> &fields, std::string &why, int wait_ms = 0);
    bool send_settings(acquisition_state &s, std::string &refusal);
    bool on_our_journal(acquisition_state &s, bool may_restart_run);
    enum class read_result { words, nothing, output_failed };
    read_result read_by_index(acquisition_state &s, const recording_steps &steps, std::uint64_t most, int wait_ms);
    void lose_connection(acquisition_state &s, const std::string &why);
    bool stop_servers_run(acquisition_state &s, std::uint64_t &last);
};
