// A build without libtirpc or rpcgen: no VXI-11, and the server says why.
#include "net/vxi11.h"

namespace {

class no_vxi11 final : public transport {
public:
    explicit no_vxi11(transport_context &c) : asked_(c.settings.vxi11) {}
    std::string start() override
    {
        return asked_ ? "VXI-11 is off: this build has no VXI-11 (it was built without libtirpc: apt-get install "
                        "libtirpc-dev rpcsvc-proto); the SCPI socket serves all the same"
                      : "VXI-11 is off (--no-vxi11)";
    }

private:
    bool asked_;
};

} // namespace

std::unique_ptr<transport> make_vxi11(transport_context &context) { return std::make_unique<no_vxi11>(context); }
