// Driving the console program as an operator would, through pipes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

// The program under test: the console built on the virtual instrument.
const char *console_program();

struct dialogue_result {
    std::string out;
    std::string err;
    int status = -1;        // exit status, or -1 if the program did not exit normally
    bool timed_out = false;
};

// Gives the whole input at once, closes standard input, collects both
// outputs until the program ends (or kills it after `limit`).
dialogue_result run_dialogue(const std::string &input,
                             std::chrono::milliseconds limit = std::chrono::seconds(20));

// A console kept running, answered one prompt at a time.
class live_console {
public:
    live_console();
    ~live_console();
    live_console(const live_console &) = delete;
    live_console &operator=(const live_console &) = delete;

    // Reads standard output until what has come since the last call ends
    // with `text`; false if it has not within `limit`.
    bool wait_for(const std::string &text, std::chrono::milliseconds limit = std::chrono::seconds(5));
    void type(const std::string &text);
    // Closes standard input and waits for the exit status.
    int finish();

    const std::string &output() const { return out_; }

private:
    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    std::string out_;
    std::size_t seen_ = 0;
};
