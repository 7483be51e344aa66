// The virtual instrument shared between programs: its whole state loaded
// from VIRTUAL_INSTRUMENT_STATE when a program sets up the bus, and saved
// there when it exits, the atomic way (its lock is a file of its own,
// STATE.lock, taken before this).

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "../src/atomic_file.h"
#include "../src/bus_lock.h"
#include "instrument.h"
#include "pin_bank_core.h"

namespace sim::bank_detail {

namespace {

std::string state_path;
bool forgotten = false;

// Left usable by every user, like its lock.
void save_state()
{
    if (forgotten)
        return;
    std::string error;
    if (!write_file_atomically(state_path, instrument_state_text(), 0666, error))
        std::fprintf(stderr, "virtual instrument: cannot save its state: %s\n", error.c_str());
}

} // namespace

void forget_shared_state() { forgotten = true; }

bool share_state(const char *path)
{
    state_path = path;
    std::ifstream in(state_path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string content = text.str();
    // A file that holds only an old lock note holds no state yet.
    if (in.is_open() && !content.empty() && content.rfind(bus_lock_marker, 0) != 0) {
        std::string why;
        if (!load_instrument_state(content, why)) {
            std::fprintf(stderr,
                         "virtual instrument: %s is not a saved state of this virtual instrument (%s); it is left"
                         " as it is and nothing was sent. Name another file with VIRTUAL_INSTRUMENT_STATE.\n",
                         path, why.c_str());
            return false;
        }
    }
    std::atexit(save_state);
    return true;
}

} // namespace sim::bank_detail
