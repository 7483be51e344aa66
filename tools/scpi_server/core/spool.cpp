#include "core/spool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "count_output.h"
#include "platform.h"
#include "program_options.h"
#include "utc_time.h"

bool spool_directory_usable(const std::string &directory, std::string &why)
{
    struct stat st{};
    if (stat(directory.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = "it is not a directory";
        return false;
    }
    if (access(directory.c_str(), W_OK | X_OK) != 0) {
        why = std::string("cannot write in it: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool write_spool(bus_owner &owner, const std::string &directory, const std::string &ended_by, std::string &path,
                 std::string &error)
{
    path.clear();
    const std::size_t held = owner.held();
    if (held == 0 && owner.loss() == 0)
        return true;
    const std::string base = directory + "/counter-scpi-server-" + utc_now("%Y%m%dT%H%M%SZ");
    count_output out;
    if (!open_count_output(out, base + ".csv", count_format::csv, -1, error))
        return false;
    out.never_replace = true;
    put_comment(out, std::string("counter-scpi-server ") + program_version() + ": the words it held when " +
                         ended_by + " ended it");
    put_comment(out, std::string("platform: ") + platform_name());
    put_comment(out, "ended: " + utc_now());
    put_header_row(out);
    const word_runs words = owner.take_all();
    const std::vector<int> counts(words.words.begin(), words.words.end());
    put_counts(out, counts.data(), static_cast<int>(counts.size()));
    put_comment(out, "words: " + std::to_string(held));
    put_comment(out, "words lost: " + std::to_string(owner.words_lost()) + " for a full hold; gaps the instrument marked: " +
                         std::to_string(owner.gaps()));
    // A name taken (another life of the server ended in the same second)
    // gives the next in sequence.
    if (!finish_count_output(out, error)) {
        discard_count_output(out);
        return false;
    }
    path = out.target;
    return true;
}
