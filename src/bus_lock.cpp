#include "bus_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "exit_status.h"
#include "platform.h"
#include "stop_signals.h"

namespace {

constexpr auto retry_interval = std::chrono::milliseconds(20);

int held_fd = -1; // open for the process's life: closing it would drop the lock
std::string held_path;
std::string held_program, held_note;
std::FILE *held_err = stderr; // where the program said it took the bus
bool taken_away = false;      // another program holds the lock now

// While the program waits: the lock looked at again, and what changed said.
void recheck_while_waiting()
{
    if (taken_away)
        return;
    std::string why;
    if (recheck_bus_lock(why) != bus_lock_state::held)
        std::fprintf(held_err, "%s: %s\n", held_program.c_str(), why.c_str());
}

struct lock_file {
    int fd = -1;
    bool writable = false;
};

// Opens the lock file, creating it readable and writable by everyone when
// it is missing. Never through a symbolic link, never a FIFO or a device
// (O_NONBLOCK: a FIFO must not hang the open), never truncated.
lock_file open_lock(const char *path, std::string &why)
{
    constexpr int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    lock_file f;
    f.fd = open(path, O_RDWR | O_CREAT | O_EXCL | flags, 0666);
    if (f.fd >= 0) {
        // The creator's umask must not keep the next user out.
        if (fchmod(f.fd, 0666) != 0) {
            why = std::string("cannot make it usable by all: ") + std::strerror(errno);
            close(f.fd);
            unlink(path);
            return {};
        }
        f.writable = true;
        return f;
    }
    if (errno == EEXIST) {
        // Not O_CREAT: a sticky directory refuses that on another user's file.
        f.fd = open(path, O_RDWR | flags);
        f.writable = f.fd >= 0;
        if (f.fd < 0 && errno == EACCES)
            f.fd = open(path, O_RDONLY | flags); // a shared lock file left read-only: flock still works
    }
    if (f.fd < 0) {
        why = errno == ELOOP ? "it is a symbolic link, which is never followed" : std::strerror(errno);
        return {};
    }
    struct stat st{};
    if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
        close(f.fd);
        return {};
    }
    return f;
}

std::string read_file(const std::string &path, std::size_t most = 4096)
{
    std::ifstream in(path, std::ios::binary);
    std::string text(most, '\0');
    in.read(text.data(), static_cast<std::streamsize>(most));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

// The first flock in the kernel's list of locks for which `wanted(pid,
// file)` holds, its file as "MAJOR:MINOR:INODE" (the device in hex); its
// holder's pid, or 0.
template <typename Wanted>
long find_flock(Wanted wanted)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream words(line);
        std::string number, kind, advisory, mode, file;
        long pid = 0;
        words >> number >> kind;
        if (kind != "FLOCK") // blocked waiters show as "->"
            continue;
        words >> advisory >> mode >> pid >> file;
        if (wanted(pid, file))
            return pid;
    }
    return 0;
}

// "MAJOR:MINOR:" of the file system a file is on, as /proc/locks names it.
std::string device_of(const struct stat &st)
{
    char id[32];
    std::snprintf(id, sizeof id, "%02x:%02x:", major(st.st_dev), minor(st.st_dev));
    return id;
}

// The process that holds a flock on the file open as `fd`; 0 when it
// cannot be told.
long holder_pid(int fd)
{
    struct stat st{};
    if (fstat(fd, &st) != 0)
        return 0;
    const std::string id = device_of(st) + std::to_string(st.st_ino);
    return find_flock([&](long, const std::string &file) { return file == id; });
}

// Text another program wrote, made safe to show on a terminal: control
// characters and non-ASCII bytes as \xNN, and at most `most` characters.
std::string shown(const std::string &text, std::size_t most = 160)
{
    std::string safe;
    for (unsigned char c : text) {
        if (safe.size() >= most) {
            safe += "...";
            break;
        }
        char piece[8];
        if (c >= 0x20 && c < 0x7F)
            safe += static_cast<char>(c);
        else {
            std::snprintf(piece, sizeof piece, "\\x%02X", c);
            safe += piece;
        }
    }
    return safe;
}

// The process as the kernel names it: its command and its user.
std::string from_proc(long pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string name = read_file(proc + "/comm", 64);
    name = name.substr(0, name.find('\n'));
    struct stat st{};
    const std::string user = stat(proc.c_str(), &st) == 0 ? ", uid " + std::to_string(st.st_uid) : "";
    return name.empty() ? "" : "command " + shown(name, 32) + user;
}

// "counter-console (pid 4242; command counter-consol, uid 1000)", with the
// holder's own note when it left one. The pid comes from the kernel, the
// command and user from /proc; the name and note the holder wrote in the
// lock file are shown escaped, since any program could have written them.
std::string describe_holder(int fd)
{
    const long pid = holder_pid(fd);
    if (pid <= 0)
        return "another program";
    std::string name, note;
    char content[512];
    const ssize_t n = pread(fd, content, sizeof content - 1, 0);
    const std::string written(content, n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::string own = bus_lock_marker + std::to_string(pid) + " ";
    if (written.compare(0, own.size(), own) == 0) {
        const std::string rest = written.substr(own.size(), written.find('\n') - own.size());
        const std::size_t semicolon = rest.find("; ");
        name = shown(rest.substr(0, semicolon), 64);
        if (semicolon != std::string::npos)
            note = ", " + shown(rest.substr(semicolon + 2));
    }
    const std::string kernel = from_proc(pid);
    if (name.empty()) {
        name = read_file("/proc/" + std::to_string(pid) + "/cmdline", 512);
        name = name.substr(0, name.find('\0'));
        name = shown(name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1), 64);
    }
    return (name.empty() ? "a program" : name) + " (pid " + std::to_string(pid) +
           (kernel.empty() ? "" : "; " + kernel) + ")" + note;
}

// Leaves the holder's name, pid and note in a lock file this system made
// (or an empty one); any other file is left as it is.
void leave_holder_note(const lock_file &f, const char *program, const char *note)
{
    if (!f.writable)
        return;
    char head[sizeof bus_lock_marker];
    const ssize_t n = pread(f.fd, head, sizeof bus_lock_marker - 1, 0);
    if (n != 0 && (n != static_cast<ssize_t>(sizeof bus_lock_marker - 1) ||
                   std::memcmp(head, bus_lock_marker, sizeof bus_lock_marker - 1) != 0))
        return;
    std::string text = bus_lock_marker + std::to_string(getpid()) + " " + program;
    if (note != nullptr)
        text += std::string("; ") + note;
    text += "\n";
    if (ftruncate(f.fd, 0) == 0) {
        const ssize_t written = pwrite(f.fd, text.data(), text.size(), 0);
        (void)written; // the note is a courtesy to whoever finds the bus taken
    }
}

// True when `fd` is still the file at `path`: a lock file deleted or
// replaced while this program waited on it locks nothing any more.
bool still_at_path(int fd, const char *path)
{
    struct stat open_one{}, at_path{};
    return fstat(fd, &open_one) == 0 && lstat(path, &at_path) == 0 && open_one.st_dev == at_path.st_dev &&
           open_one.st_ino == at_path.st_ino;
}

// A program that holds a lock file since deleted from the path, or
// replaced there, and has not yet noticed: the bus is still its own. Found
// through the kernel's list of locks (flocks on the lock's file system) and
// the holders' open files; 0 when none is seen. A holder whose open files
// this program may not list (another user's, for one not root) is not seen:
// a lock file only root may delete (the package's, in /run/lock) leaves no
// such gap.
long holder_of_unlinked(int fd, const char *path)
{
    struct stat own{};
    if (fstat(fd, &own) != 0)
        return 0;
    char real[PATH_MAX];
    if (realpath(path, real) == nullptr)
        return 0;
    const std::string deleted = std::string(real) + " (deleted)";
    const std::string device = device_of(own);
    return find_flock([&](long pid, const std::string &file) {
        if (pid == getpid() || file.compare(0, device.size(), device) != 0 || file == device + std::to_string(own.st_ino))
            return false;
        DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
        if (d == nullptr)
            return false;
        bool holds = false;
        while (const dirent *e = readdir(d)) {
            char target[PATH_MAX + 16];
            const ssize_t n = readlinkat(dirfd(d), e->d_name, target, sizeof target - 1);
            holds |= n > 0 && deleted == std::string(target, static_cast<std::size_t>(n));
        }
        closedir(d);
        return holds;
    });
}

int refuse(const char *program, std::FILE *err, const char *path, const std::string &why)
{
    std::fprintf(err, "%s: cannot use the bus lock %s: %s; %s; nothing was sent\n", program, path, why.c_str(),
                 platform_bus_lock_remedy());
    return exit_bus_taken;
}

} // namespace

int take_bus(const char *program, std::FILE *err, const bus_wait &wait, const char *note)
{
    if (held_fd >= 0)
        return exit_ok;
    const char *path = platform_bus_lock();
    if (path == nullptr)
        return exit_ok;
    if (*path == '\0')
        return refuse(program, err, "''", "the path is empty");

    using clock_type = std::chrono::steady_clock;
    const auto started = clock_type::now();
    bool told = false;
    for (;;) {
        std::string why;
        const lock_file f = open_lock(path, why);
        if (f.fd < 0)
            return refuse(program, err, path, why);
        if (flock(f.fd, LOCK_EX | LOCK_NB) == 0) {
            if (!still_at_path(f.fd, path)) {
                close(f.fd);
                continue;
            }
            if (const long other = holder_of_unlinked(f.fd, path); other != 0) {
                close(f.fd);
                const std::string who = from_proc(other);
                std::fprintf(err,
                             "%s: the bus is in use by pid %ld%s, which holds the bus lock %s that was deleted or "
                             "replaced under it; nothing was sent\n",
                             program, other, who.empty() ? "" : (" (" + who + ")").c_str(), path);
                return exit_bus_taken;
            }
            leave_holder_note(f, program, note);
            held_fd = f.fd;
            held_path = path;
            held_program = program;
            held_note = note != nullptr ? note : "";
            held_err = err;
            set_waiting_hook(recheck_while_waiting);
            return exit_ok;
        }
        if (errno != EWOULDBLOCK) {
            const int e = errno;
            close(f.fd);
            return refuse(program, err, path, std::strerror(e));
        }
        const std::string holder = describe_holder(f.fd);
        close(f.fd);
        if (!wait.wait) {
            std::fprintf(err, "%s: the bus is in use by %s; nothing was sent\n", program, holder.c_str());
            return exit_bus_taken;
        }
        const double waited = std::chrono::duration<double>(clock_type::now() - started).count();
        if (wait.seconds >= 0 && waited >= wait.seconds) {
            std::fprintf(err, "%s: the bus is still in use by %s after %g s; nothing was sent\n", program,
                         holder.c_str(), wait.seconds);
            return exit_bus_taken;
        }
        if (!told && !wait.quiet) {
            told = true;
            std::fprintf(err, "%s: waiting for the bus, in use by %s\n", program, holder.c_str());
        }
        if (!sleep_unless_stopped(retry_interval))
            return exit_signal_base + stop_signal();
    }
}

bool bus_taken_away() { return taken_away; }

bus_lock_state recheck_bus_lock(std::string &why)
{
    if (held_fd < 0 || still_at_path(held_fd, held_path.c_str()))
        return bus_lock_state::held;
    lock_file f = open_lock(held_path.c_str(), why);
    if (f.fd < 0) {
        why = "the bus lock " + held_path + " was removed and cannot be made again: " + why;
        taken_away = true;
        platform_bus_lost();
        return bus_lock_state::lost;
    }
    if (flock(f.fd, LOCK_EX | LOCK_NB) != 0) {
        why = "the bus lock " + held_path + " was replaced, and " + describe_holder(f.fd) + " holds the new one";
        close(f.fd);
        taken_away = true;
        platform_bus_lost();
        return bus_lock_state::lost;
    }
    leave_holder_note(f, held_program.c_str(), held_note.empty() ? nullptr : held_note.c_str());
    close(held_fd);
    held_fd = f.fd;
    why = "the bus lock " + held_path + " was deleted or replaced; it is locked again";
    return bus_lock_state::retaken;
}
