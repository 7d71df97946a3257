// What one bus knows of the replies still to come on it: the calls waiting
// for theirs right now, and the commands that ended without theirs. A motor
// answers its commands in the order they were sent, so every frame read on
// the bus goes to the oldest claim on it: a late reply is dropped as the
// reply of the command that timed out, never taken for a later command's,
// and a frame that a signal handler's command reads while the call it
// interrupted still waits reaches that call.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "can_frame.hpp"

namespace velkarin::transport {

class ReplyLedger {
public:
    using Clock = std::chrono::steady_clock;

    // A call waiting for frames on this bus, registered (Scope) for the
    // length of its wait. Every receive loop on the bus hands each frame it
    // reads to route(), whichever call the frame turns out to be for.
    class Waiter {
    public:
        // Whether `f` is a frame this call still waits for. No side effects:
        // it is asked about frames that may then go to an older claim.
        virtual bool wants(const CanFrame& f) const = 0;
        // Takes `f`, which it wants.
        virtual void take(const CanFrame& f) = 0;
        // `f`, which it wants, was dropped as an earlier command's late reply.
        virtual void passed_over(const CanFrame& f) = 0;
        // Whether the call has every frame it waits for.
        virtual bool done() const = 0;

        // This call's place in the bus's order of commands.
        std::uint64_t order() const { return order_; }

    protected:
        Waiter() = default;
        Waiter(const Waiter&) = delete;
        Waiter& operator=(const Waiter&) = delete;
        ~Waiter() = default;

    private:
        friend class ReplyLedger;
        std::uint64_t order_ = 0;
        Waiter* older_ = nullptr;  // registered before this one
        std::thread::id thread_;   // whose call it is
    };

    // Registers `w` from construction to destruction. The frames it waits
    // for have been sent, or go out while it is registered.
    class Scope {
    public:
        Scope(ReplyLedger& ledger, Waiter& w) : ledger_(ledger), waiter_(w) { ledger.add(w); }
        ~Scope() { ledger_.remove(waiter_); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        ReplyLedger& ledger_;
        Waiter& waiter_;
    };

    // A frame that `reader`, a registered waiter, has just read: handed to
    // the oldest claim on it, an owed reply still within its window or a
    // waiter that wants it. True when `reader` took it. With nothing owed
    // and `reader` the only waiter this is one call of reader.wants(): no
    // clock is read.
    bool route(const CanFrame& f, Waiter& reader) {
        if (owed_ == 0 && newest_ == &reader && reader.older_ == nullptr) {
            if (!reader.wants(f)) return false;
            reader.take(f);
            return true;
        }
        return route_among_all(f, Arrival::JustNow) == &reader;
    }

    // A frame that was queued before a command was sent: not that command's
    // reply, whenever it came. It settles the oldest claim on it, and an
    // owed reply counts as settled whether or not its window has passed.
    // True when it was an owed reply.
    bool settle_queued(const CanFrame& f) {
        const std::size_t before = owed_;
        return route_among_all(f, Arrival::BeforeSend) == nullptr && owed_ < before;
    }

    // What a command that ended without its reply still claims.
    enum class Claim {
        // Its late reply: until the window ends, the first frame on its
        // identifier that no older claim takes, whether it was queued before
        // a later command went out or arrives while one waits.
        Reply,
        // Only a frame queued before a later command goes out. For a command
        // whose wanted frame went to an earlier debt: that frame may have
        // been its own reply (the earlier one lost for good), so a frame
        // arriving during the next command's wait is that command's. One
        // lost reply then fails one more command, not every one after it.
        QueuedOnly,
    };
    // A command that expected a reply on `id` ended without it (a time-out,
    // a failed read, an interruption): its `claim` holds until `until`. When
    // the table is full the debt that expires first makes room.
    void owe(CanId id, Clock::time_point until, std::uint64_t order, Claim claim);

    // Whether any reply is still owed: then a command first settles what
    // the bus has queued (settle_queued) and calls forget_expired.
    bool owes() const { return owed_ != 0; }
    // Forgets every debt whose window ended before `now`: those replies are lost.
    void forget_expired(Clock::time_point now);

    // Forgets, without touching them, the waiters of every thread but the
    // calling one: in the child of a fork, the others' waiters live on the
    // stacks of threads that were not copied.
    void forget_other_threads_waiters();

    // The most debts kept at once.
    static constexpr std::size_t kMaxOwed = 64;

private:
    struct Debt {
        CanId id;
        Clock::time_point until;
        std::uint64_t order;
        Claim claim;
    };
    enum class Arrival { JustNow, BeforeSend };

    void add(Waiter& w);
    void remove(Waiter& w);
    // The claim `f` settles; returns the waiter that took it, if any.
    Waiter* route_among_all(const CanFrame& f, Arrival arrival);

    std::array<Debt, kMaxOwed> debts_{};
    std::size_t owed_ = 0;
    Waiter* newest_ = nullptr;
    std::uint64_t next_order_ = 0;
};

}  // namespace velkarin::transport
