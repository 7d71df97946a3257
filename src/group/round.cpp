// Locks and the interpreter lock around a round.
#include "group/round.hpp"

#include <algorithm>
#include <functional>
#include <utility>

namespace velkarin::group {

BusLocks::BusLocks(std::vector<python::PySocketCanTransport*> buses) : buses_(std::move(buses)) {
    std::ranges::sort(buses_, std::less<>{});
    buses_.erase(std::unique(buses_.begin(), buses_.end()), buses_.end());
}

bool BusLocks::lock_all(PyThreadState*& thread) {
    for (std::size_t i = 0; i < buses_.size(); ++i) {
        if (buses_[i]->lock.acquire_released(thread)) continue;
        while (i-- > 0) buses_[i]->lock.release();
        return false;
    }
    return true;
}

void BusLocks::relock_all() {
    for (auto* bus : buses_) bus->lock.reacquire_released();
}

void BusLocks::unlock_all() {
    for (auto it = buses_.rbegin(); it != buses_.rend(); ++it) (*it)->lock.release();
}

RoundScope::RoundScope(BusLocks& locks) : locks_(locks), thread_(PyEval_SaveThread()) {
    signals_.round = this;
    locks_held_ = locks_.lock_all(thread_);
}

RoundScope::~RoundScope() noexcept(false) {
    if (locks_held_) locks_.unlock_all();
    locks_held_ = false;
    if (thread_ != nullptr) PyEval_RestoreThread(std::exchange(thread_, nullptr));
}

// Outside every bus lock, so a handler's own commands (on any bus, through a
// single motor or another group) take them as usual. In a thread other than
// the main one the interpreter runs no handlers, and this merely lets it in.
// Each step is recorded before it is taken: a forced unwind out of
// PyEval_RestoreThread leaves the destructor nothing to undo.
bool RoundScope::Signals::resume_after_signal() {
    round->locks_.unlock_all();
    round->locks_held_ = false;
    PyEval_RestoreThread(std::exchange(round->thread_, nullptr));
    const bool resume = PyErr_CheckSignals() == 0;
    round->thread_ = PyEval_SaveThread();
    round->locks_.relock_all();
    round->locks_held_ = true;
    return resume;
}

}  // namespace velkarin::group
