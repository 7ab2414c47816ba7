// A reader-writer lock for a scene that queries share and changes hold
// alone. A change waits only for the queries already running: queries that
// start while it waits queue behind it at the turnstile. On their own,
// glibc's read-write locks prefer readers, so threads querying in turn could
// hold a change off indefinitely.
#ifndef ZRV_PY_TURNSTILE_LOCK_H
#define ZRV_PY_TURNSTILE_LOCK_H

#include <mutex>
#include <shared_mutex>

namespace zrv {
namespace python {

class TurnstileLock {
public:
    // Shared with other queries; waits behind a change that is waiting.
    std::shared_lock<std::shared_mutex> hold_still() const {
        { const std::lock_guard<std::mutex> behind_changes(turnstile_); }
        return std::shared_lock<std::shared_mutex>(mutex_);
    }
    // Alone, once the queries already running end.
    std::unique_lock<std::shared_mutex> hold_alone() {
        const std::lock_guard<std::mutex> first(turnstile_);
        return std::unique_lock<std::shared_mutex>(mutex_);
    }

private:
    mutable std::shared_mutex mutex_;
    mutable std::mutex turnstile_; // held by a change waiting for mutex_
};

} // namespace python
} // namespace zrv

#endif
