#pragma once
// The unbounded-wait check: each thread marks the call it is in; a call
// still running after the limit stops the run with what every thread was
// doing (a hung board would otherwise only show as a timeout).
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace qfuzz {

class Watchdog {
public:
    static constexpr size_t kSlots = 32;

    explicit Watchdog(std::chrono::seconds limit) : limit_(limit), thread_([this] { watch(); }) {}
    ~Watchdog()
    {
        {
            std::lock_guard lock(mu_);
            stop_ = true;
        }
        thread_.join();
    }

    // Each call's line on standard error as it begins, for the sequence
    // that led to a crash of the whole system (a real kernel's oops).
    void trace(bool on) { trace_ = on; }

    void begin(size_t slot, const std::string &what)
    {
        std::lock_guard lock(mu_);
        if (trace_) {
            std::fprintf(stderr, "call %zu: %s\n", slot, what.c_str());
            std::fflush(stderr);
        }
        slots_[slot] = {std::chrono::steady_clock::now(), what, true};
    }
    void end(size_t slot)
    {
        std::lock_guard lock(mu_);
        slots_[slot].busy = false;
    }

private:
    struct Slot {
        std::chrono::steady_clock::time_point since{};
        std::string what;
        bool busy = false;
    };

    void watch()
    {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            std::lock_guard lock(mu_);
            if (stop_)
                return;
            const auto now = std::chrono::steady_clock::now();
            for (const Slot &s : slots_)
                if (s.busy && now - s.since > limit_)
                    hung(now);
        }
    }

    [[noreturn]] void hung(std::chrono::steady_clock::time_point now)
    {
        std::fprintf(stderr, "fuzz: a call has waited over %llds: unbounded wait\n",
                     static_cast<long long>(limit_.count()));
        for (size_t i = 0; i < kSlots; i++)
            if (slots_[i].busy)
                std::fprintf(stderr, "  thread %zu, %llds in: %s\n", i,
                             static_cast<long long>(
                                 std::chrono::duration_cast<std::chrono::seconds>(now - slots_[i].since).count()),
                             slots_[i].what.c_str());
        std::fflush(stderr);
        std::abort();
    }

    std::chrono::seconds limit_;
    std::mutex mu_;
    std::array<Slot, kSlots> slots_{};
    bool stop_ = false;
    std::atomic<bool> trace_ = false;
    std::thread thread_;
};

} // namespace qfuzz
