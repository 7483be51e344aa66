// A delivery ticket: the words a session took for responses its client has
// not yet shown it has. The transport that carries the responses settles
// it, as only it can tell: ack() when the client has them (they are gone for
// good), fail() when it may not (they go back to the hold, in their place).
// Transports hold tickets; they never see the hold.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/word_hold.h"

class delivery_ticket {
public:
    explicit delivery_ticket(word_hold &hold) : hold_(&hold) {}
    delivery_ticket(const delivery_ticket &) = delete;
    delivery_ticket &operator=(const delivery_ticket &) = delete;
    delivery_ticket(delivery_ticket &&other) noexcept : hold_(other.hold_), groups_(std::move(other.groups_))
    {
        other.groups_.clear();
    }
    ~delivery_ticket() { fail(); }

    // Words taken for one more response, in the hold's present epoch.
    void add(word_runs &&words)
    {
        if (words.empty())
            return;
        if (groups_.empty() || groups_.back().epoch != hold_->epoch)
            groups_.push_back({hold_->epoch, {}});
        append_runs(groups_.back().words, std::move(words));
    }
    bool empty() const { return groups_.empty(); }
    std::size_t words() const
    {
        std::size_t n = 0;
        for (const group &g : groups_)
            n += g.words.size();
        return n;
    }

    void ack()
    {
        for (const group &g : groups_)
            hold_delivered(*hold_, g.words.size());
        groups_.clear();
    }

    struct returned {
        std::size_t held_again = 0;
        std::size_t dropped = 0; // taken before a *RST or INIT
    };
    returned fail()
    {
        returned r;
        for (group &g : groups_) {
            const std::size_t all = g.words.size();
            const std::size_t dropped = hold_return(*hold_, std::move(g.words), g.epoch);
            r.dropped += dropped;
            r.held_again += all - dropped;
        }
        groups_.clear();
        return r;
    }

    // What fail() did, for the log: "; N words it did not show it
    // received are held again; M words it took before a *RST or INIT are
    // dropped", or "" when it gave nothing back.
    static std::string said(const returned &r)
    {
        std::string text;
        if (r.held_again > 0)
            text += "; " + std::to_string(r.held_again) + " words it did not show it received are held again";
        if (r.dropped > 0)
            text += "; " + std::to_string(r.dropped) + " words it took before a *RST or INIT are dropped";
        return text;
    }

private:
    struct group {
        std::uint64_t epoch;
        word_runs words;
    };
    word_hold *hold_;
    std::vector<group> groups_; // one, but across a *RST or INIT
};
