#include "scpi/executor.h"

#include "scpi/commands.h"

namespace {

// Parameters as the row wants them; false, refused, otherwise.
bool parameters_fit(scpi_call &c, const command_row &row)
{
    const scpi_parsed &p = c.command;
    const bool takes = !p.query || row.form == command_form::query_only;
    const std::size_t least = takes ? static_cast<std::size_t>(row.least) : 0;
    const std::size_t most = takes ? static_cast<std::size_t>(row.most) : 0;
    if (p.params.size() > most)
        return c.refuse(scpi_err::parameter_not_allowed);
    if (p.params.size() < least)
        return c.refuse(scpi_err::missing_parameter);
    for (const scpi_param &param : p.params)
        if (param.fault != scpi_err::none)
            return c.refuse(param.fault);
    return true;
}

} // namespace

// One command: found by its header (the path it continues), checked,
// run. False when refused: its error is queued and nothing was sent.
bool execute_command(scpi_session &s, bus_owner &owner, delivery_ticket &taken, const scpi_parsed &p,
                     std::vector<std::string> &path, std::string &answer)
{
    if (p.error != scpi_err::none) {
        push_error(s, p.error, p.text);
        return false;
    }
    std::vector<std::string> nodes = p.common || p.rooted ? std::vector<std::string>{} : path;
    nodes.insert(nodes.end(), p.nodes.begin(), p.nodes.end());
    const command_row *row = find_command(nodes);
    scpi_call c{s, owner, taken, p, {}};
    // A header that fits no command as continued fits none: the path rule is
    // SCPI's, and a client that meant the root writes ':'.
    if (row == nullptr || (p.query && row->form == command_form::set_only) ||
        (!p.query && row->form == command_form::query_only))
        return c.refuse(scpi_err::undefined_header);
    if (!p.common)
        path.assign(nodes.begin(), nodes.end() - 1);
    if (!parameters_fit(c, *row) || !row->run(c))
        return false;
    answer = std::move(c.answer);
    return true;
}

void execute_message(scpi_session &s, bus_owner &owner, delivery_ticket &taken, const std::string &message,
                     std::string &reply)
{
    bool asked = false;
    std::vector<std::string> path; // the header path the next command continues
    for (const scpi_parsed &p : parse_message(message)) {
        std::string answer;
        if (execute_command(s, owner, taken, p, path, answer) && p.query) {
            if (asked)
                reply += ';';
            if (reply.empty())
                reply.swap(answer); // the usual case, a block of words among them: no copy
            else
                reply += answer;
            asked = true;
        }
    }
    if (asked)
        reply += '\n';
}
