// counter-tango-server: the counting instrument as a device of a Tango
// control system (class CountingInstrument), through its network
// instrument. The command line is Tango's own, as every device server's,
// with --help and --version beside it.
#include <tango.h>

#include <cstring>

#include "counting_instrument_class.h"
#include "program_options.h"

void Tango::DServer::class_factory()
{
    add_class(counting_instrument_ns::CountingInstrumentClass::init("CountingInstrument"));
}

namespace {

const char *const help =
    "usage: counter-tango-server INSTANCE [TANGO-OPTION...]\n"
    "       counter-tango-server --help | --version\n"
    "The counting instrument as a device of a Tango control system: device class\n"
    "CountingInstrument, one device per instrument, each reaching its instrument\n"
    "through counter-scpi-server over the SCPI socket, as any client does.\n"
    "\n"
    "  INSTANCE      the instance registered in the Tango database that TANGO_HOST\n"
    "                names (or /etc/tangorc); its devices are those registered\n"
    "                for counter-tango-server/INSTANCE\n"
    "  --help        this help\n"
    "  --version     the version\n"
    "\n"
    "Tango's options, after INSTANCE:\n"
    "  -vLEVEL       Tango's own trace, LEVEL 1 to 5, on standard output\n"
    "  -nodb -dlist DEVICE\n"
    "                no database: the devices named, with no properties (so no\n"
    "                Host: a quick look at the interface)\n"
    "  -ORBendPoint giop:tcp:HOST:PORT\n"
    "                where the server listens (default: every address, a port\n"
    "                the system picks)\n"
    "\n"
    "Device properties (declared with their defaults): Host (required: the\n"
    "instrument's host), Port (5025), Timeout (seconds, 1: for connecting and for\n"
    "each command), RecentLength (100: the counts RecentCounts shows),\n"
    "HistogramBins (64).\n"
    "\n"
    "Commands: Reset, Start, Stop; IfcTest (DevLong: the reply word, signed:\n"
    "0xaa000055 reads -1442840491); TakeCounts (DevLong most -> DevVarLongArray:\n"
    "words taken from the server's hold, for one taker; refused at once while\n"
    "another client holds the instrument's lock); ReadCounts (DevVarLong64Array\n"
    "[start, most] -> DevVarLongStringArray: the words from the server's journal,\n"
    "nothing taken, for many readers, and as strings the journal's identity, the\n"
    "index they start at, the words missed before it, and the next index).\n"
    "Each is refused with API_CommandNotAllowed in the states it makes no sense\n"
    "in. A value not known reads with quality ATTR_INVALID. NextIndex's change\n"
    "and data-ready events tell a client new words were read.\n"
    "\n"
    "Exit status: 0 when the server was stopped (Kill, SIGTERM), 1 when it could\n"
    "not start, 2 for a wrong command line.\n";

} // namespace

int main(int argc, char *argv[])
{
    const char *program = "counter-tango-server";
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return print_text(program, help);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return print_text(program, std::string(program) + " " + program_version() + "\n");
    if (argc < 2 || argv[1][0] == '-')
        return usage_error(stderr, program, argc < 2 ? "no INSTANCE" : std::string("unknown option ") + argv[1],
                           "usage: counter-tango-server INSTANCE [TANGO-OPTION...]\n");
    try {
        Tango::Util *tg = Tango::Util::init(argc, argv);
        tg->server_init(false);
        std::cout << "Ready to accept request" << std::endl;
        tg->server_run();
        tg->server_cleanup();
    } catch (const std::bad_alloc &) {
        std::cerr << program << ": out of memory" << std::endl;
        return 1;
    } catch (const CORBA::Exception &e) {
        Tango::Except::print_exception(e);
        return 1;
    }
    return 0;
}
