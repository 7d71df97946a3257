// The ledger's slow path: more than one claim may want a frame, so the
// oldest one gets it.
#include "transport/reply_ledger.hpp"

#include <optional>

namespace velkarin::transport {

void ReplyLedger::add(Waiter& w) {
    w.order_ = ++next_order_;
    w.older_ = newest_;
    w.thread_ = std::this_thread::get_id();
    newest_ = &w;
}

void ReplyLedger::forget_other_threads_waiters() {
    const auto self = std::this_thread::get_id();
    Waiter** link = &newest_;
    while (*link != nullptr) {
        if ((*link)->thread_ != self)
            *link = (*link)->older_;
        else
            link = &(*link)->older_;
    }
}

// Usually the newest; another thread's call may have registered above it
// while this one's signal handler ran with the bus lock released.
void ReplyLedger::remove(Waiter& w) {
    for (Waiter** link = &newest_; *link != nullptr; link = &(*link)->older_) {
        if (*link == &w) {
            *link = w.older_;
            return;
        }
    }
}

void ReplyLedger::owe(CanId id, Clock::time_point until, std::uint64_t order, Claim claim) {
    if (owed_ < kMaxOwed) {
        debts_[owed_++] = {id, until, order, claim};
        return;
    }
    std::size_t first = 0;
    for (std::size_t i = 1; i < owed_; ++i)
        if (debts_[i].until < debts_[first].until) first = i;
    debts_[first] = {id, until, order, claim};
}

void ReplyLedger::forget_expired(Clock::time_point now) {
    for (std::size_t i = 0; i < owed_;) {
        if (debts_[i].until < now)
            debts_[i] = debts_[--owed_];
        else
            ++i;
    }
}

ReplyLedger::Waiter* ReplyLedger::route_among_all(const CanFrame& f, Arrival arrival) {
    // The oldest debt on this identifier. A frame that comes after a debt's
    // window does not settle it: that reply is lost, and the debt goes.
    std::optional<std::size_t> debt;
    std::optional<Clock::time_point> now;
    for (std::size_t i = 0; i < owed_;) {
        if (debts_[i].id != f.id || (arrival == Arrival::JustNow && debts_[i].claim == Claim::QueuedOnly)) {
            ++i;
            continue;
        }
        if (arrival == Arrival::JustNow) {
            if (!now) now = Clock::now();
            if (debts_[i].until < *now) {
                debts_[i] = debts_[--owed_];  // an unvisited one moves here
                continue;
            }
        }
        if (!debt || debts_[i].order < debts_[*debt].order) debt = i;
        ++i;
    }

    Waiter* oldest = nullptr;
    for (Waiter* w = newest_; w != nullptr; w = w->older_)
        if ((oldest == nullptr || w->order_ < oldest->order_) && w->wants(f)) oldest = w;

    if (debt && (oldest == nullptr || debts_[*debt].order < oldest->order_)) {
        debts_[*debt] = debts_[--owed_];
        // The frame this waiter wanted went to the debt. If the earlier reply
        // was in fact lost, it was this waiter's own: the waiter may then end
        // without its reply, and must not leave a debt of its own for it.
        if (oldest != nullptr) oldest->passed_over(f);
        return nullptr;
    }
    if (oldest == nullptr) return nullptr;
    oldest->take(f);
    return oldest;
}

}  // namespace velkarin::transport
