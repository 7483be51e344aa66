// A build without libtirpc or rpcgen: no VXI-11, and the server says why.
#include "vxi11.h"

class vxi11_service {};

vxi11_server::vxi11_server(event_loop &, bus_owner &, vxi11_options, std::function<void(const std::string &)>) {}

vxi11_server::~vxi11_server() = default;

bool vxi11_server::start(const std::vector<listen_address> &, std::string &, std::string &why)
{
    why = "this build has no VXI-11 (it was built without libtirpc: apt-get install libtirpc-dev rpcsvc-proto)";
    return false;
}

void vxi11_server::stop(const std::string &) {}

std::vector<std::string> vxi11_server::describe_links() const { return {}; }
