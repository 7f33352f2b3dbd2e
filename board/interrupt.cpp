#include "interrupt.hpp"

#include <condition_variable>
#include <mutex>

namespace board {

namespace {

std::mutex lock;
std::condition_variable raised;
bool pending = false; // guarded by lock

} // namespace

void request_interrupt()
{
    {
        std::lock_guard hold(lock);
        pending = true;
    }
    raised.notify_all();
}

void clear_interrupt()
{
    std::lock_guard hold(lock);
    pending = false;
}

bool interrupted()
{
    std::lock_guard hold(lock);
    return pending;
}

bool wait_interruptible(std::chrono::milliseconds d)
{
    std::unique_lock hold(lock);
    return !raised.wait_for(hold, d, [] { return pending; });
}

} // namespace board
