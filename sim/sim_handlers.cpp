#include "sim/sim_handlers.h"

#include <algorithm>

namespace sim {

int command_handlers::add(uint8_t cmd_class, int command, command_handler handler)
{
    std::lock_guard lock(mu_);
    int id = next_id_++;
    entries_.push_back({id, cmd_class, command, std::move(handler)});
    return id;
}

bool command_handlers::remove(int id)
{
    std::lock_guard lock(mu_);
    return std::erase_if(entries_, [id](const entry &e) { return e.id == id; }) > 0;
}

void command_handlers::clear()
{
    std::lock_guard lock(mu_);
    entries_.clear();
}

std::vector<command_reply> command_handlers::dispatch(const command_context &ctx) const
{
    const std::vector<uint8_t> &cmd = ctx.packet.command;
    if (cmd.empty())
        return {};
    std::vector<command_handler> matching;
    {
        std::lock_guard lock(mu_);
        for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
            if (it->cmd_class != cmd[0])
                continue;
            if (it->command != any_command && (cmd.size() < 2 || it->command != cmd[1]))
                continue;
            matching.push_back(it->handler);
        }
    }
    for (const command_handler &h : matching)
        if (auto replies = h(ctx))
            return std::move(*replies);
    return {};
}

} // namespace sim
