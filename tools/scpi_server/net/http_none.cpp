// A build without libmicrohttpd or nlohmann/json: no web page, and the
// server says why (the package's options name --http: it serves all the same).
#include "net/http.h"

namespace {

class no_page final : public transport {
public:
    explicit no_page(transport_context &c) : asked_(!c.settings.http.empty()) {}
    bool listen(std::string &said, std::string &) override
    {
        said = asked_ ? "no web page: this build has none (it was built without libmicrohttpd)" : "";
        return true;
    }

private:
    bool asked_;
};

} // namespace

std::unique_ptr<transport> make_http(transport_context &context) { return std::make_unique<no_page>(context); }
