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

// One command: found by its header (the path it continues), checked,
// run. False when refused: its error is queued and nothing was sent.
bool run_command(scpi_call &c, std::vector<std::string> &path)
{
    const scpi_parsed &p = c.command;
    if (p.error != scpi_err::none) {
        push_error(c.session, p.error, p.text);
        return false;
    }
    std::vector<std::string> nodes = p.common || p.rooted ? std::vector<std::string>{} : path;
    nodes.insert(nodes.end(), p.nodes.begin(), p.nodes.end());
    const command_row *row = find_command(nodes);
    // A header that fits no command as continued fits none: the path rule is
    // SCPI's, and a client that meant the root writes ':'.
    if (row == nullptr || (p.query && row->form == command_form::set_only) ||
        (!p.query && row->form == command_form::query_only))
        return c.refuse(scpi_err::undefined_header);
    if (!p.common)
        path.assign(nodes.begin(), nodes.end() - 1);
    return parameters_fit(c, *row) && row->run(c);
}

} // namespace

bool execute_command(scpi_session &s, bus_owner &owner, delivery_ticket &taken, const scpi_parsed &p,
                     std::vector<std::string> &path, std::string &answer)
{
    scpi_call c{s, owner, taken, p};
    if (!run_command(c, path))
        return false;
    answer = std::move(c.answer);
    return true;
}

bool run_message(const scpi_context &x, message_run &run)
{
    for (; run.next < run.commands.size(); ++run.next) {
        const scpi_parsed &p = run.commands[run.next];
        scpi_call c{x.session, x.owner, x.taken, p};
        c.may_wait = x.may_wait;
        if (run.pause)
            c.waited_until = run.pause->until;
        run.pause.reset();
        const std::vector<std::string> path_before = run.path;
        const bool done = run_command(c, run.path);
        if (c.pause) { // runs again, as it was, once the wait is over
            run.path = path_before;
            run.pause = c.pause;
            return false;
        }
        if (!done || !p.query)
            continue;
        if (run.asked)
            run.reply += ';';
        if (run.reply.empty())
            run.reply.swap(c.answer); // the usual case, a block of words among them: no copy
        else
            run.reply += c.answer;
        run.asked = true;
    }
    if (run.asked)
        run.reply += '\n';
    return true;
}

bool runs_through_the_lock(const std::vector<scpi_parsed> &commands, bool client_waits)
{
    std::vector<std::string> path;
    bool says_whether_it_waits = false;
    for (const scpi_parsed &p : commands) {
        std::vector<std::string> nodes = p.common || p.rooted ? std::vector<std::string>{} : path;
        nodes.insert(nodes.end(), p.nodes.begin(), p.nodes.end());
        const command_row *row = p.error == scpi_err::none ? find_command(nodes) : nullptr;
        if (row == nullptr || !row->session_only)
            return false;
        says_whether_it_waits |= row->run == lock_wait;
        if (!p.common)
            path.assign(nodes.begin(), nodes.end() - 1);
    }
    return !commands.empty() && (!client_waits || says_whether_it_waits);
}

void execute_message(scpi_session &s, bus_owner &owner, delivery_ticket &taken, const std::string &message,
                     std::string &reply)
{
    message_run run;
    run.commands = parse_message(message);
    run_message({s, owner, taken, false}, run);
    reply += run.reply;
}
