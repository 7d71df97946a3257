// Locks and the interpreter lock around a round.
#include "group/round.hpp"

#include <algorithm>
#include <functional>

namespace velkarin::group {

BusLocks::BusLocks(std::vector<python::PySocketCanTransport*> buses) : buses_(std::move(buses)) {
    std::ranges::sort(buses_, std::less<>{});
    buses_.erase(std::unique(buses_.begin(), buses_.end()), buses_.end());
}

void BusLocks::lock_all() {
    for (auto* bus : buses_) bus->lock.lock();
}

void BusLocks::unlock_all() {
    for (auto it = buses_.rbegin(); it != buses_.rend(); ++it) (*it)->lock.unlock();
}

RoundScope::RoundScope(BusLocks& locks) : locks_(locks), thread_(PyEval_SaveThread()) {
    signals_.round = this;
    locks_.lock_all();
}

RoundScope::~RoundScope() {
    locks_.unlock_all();
    PyEval_RestoreThread(thread_);
}

// Outside every bus lock, so a handler's own commands (on any bus, through a
// single motor or another group) take them as usual. In a thread other than
// the main one the interpreter runs no handlers, and this merely lets it in.
bool RoundScope::Signals::resume_after_signal() {
    round->locks_.unlock_all();
    PyEval_RestoreThread(round->thread_);
    const bool resume = PyErr_CheckSignals() == 0;
    round->thread_ = PyEval_SaveThread();
    round->locks_.lock_all();
    return resume;
}

}  // namespace velkarin::group
