// counter-tango-server: the counting instrument as a device of a Tango
// control system (class CountingInstrument), through an scpi_server.
//   counter-tango-server INSTANCE [-v4] [-nodb -dlist DEVICE]
#include <tango.h>

#include "counting_instrument_class.h"

void Tango::DServer::class_factory()
{
    add_class(counting_instrument_ns::CountingInstrumentClass::init("CountingInstrument"));
}

int main(int argc, char *argv[])
{
    try {
        Tango::Util *tg = Tango::Util::init(argc, argv);
        tg->server_init(false);
        std::cout << "Ready to accept request" << std::endl;
        tg->server_run();
        tg->server_cleanup();
    } catch (const std::bad_alloc &) {
        std::cerr << "counter-tango-server: out of memory" << std::endl;
        return 1;
    } catch (const CORBA::Exception &e) {
        Tango::Except::print_exception(e);
        return 1;
    }
    return 0;
}
