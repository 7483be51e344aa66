// The commands that give out what was read, their rows in the table
// (scpi/commands.cpp). Two doors:
//   the hold, for one taker: DATA:REMove? takes words, and they are the
//     client's once it shows it has the response;
//   the journal, for many readers: DATA:JOURnal? and DATA:READ? look at
//     every word read by its index and take nothing, so a read that went
//     astray is only made again.
// The views (DATA:RECent?, DATA:HISTogram?, DATA:RATE?) look at the
// journal's latest counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "scpi/commands.h"

bool data_remove(scpi_call &c);    // DATA:REMove? [MAX]
bool data_lost(scpi_call &c);      // DATA:LOST?
bool data_journal(scpi_call &c);   // DATA:JOURnal?: "identity",oldest,next
bool data_read(scpi_call &c);      // DATA:READ? FROM[,MOST[,WAIT]]: first,missed,words
bool data_recent(scpi_call &c);    // DATA:RECent? [N]
bool data_rate(scpi_call &c);      // DATA:RATE[:COUNts]?: counts a second
bool data_word_rate(scpi_call &c); // DATA:RATE:WORDs?: words a second
bool data_histogram(scpi_call &c); // DATA:HISTogram? [BINS]

// The most words one response carries: its definite-length block header
// stays within IEEE 488.2's nine digits, and its text within memory.
constexpr std::size_t most_response_words = 16u << 20;
// The longest a DATA:READ? waits for words, in milliseconds.
constexpr long long longest_read_wait_ms = 60000;
