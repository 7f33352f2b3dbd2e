// The simulated co-processor: serves the master side of a pseudo-terminal so
// that the module, pointed at the slave path, talks to it as to the real
// control line. One service thread reads requests and answers them.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "coproc/faults.hpp"
#include "coproc/firmware.hpp"
#include "coproc/frame.hpp"

namespace coproc {

struct RequestRecord {
    Frame frame;
    Bytes raw;
    bool crc_ok = false;
    bool answered = false; // false while silent
    Bytes reply_sent;      // what went on the line for it, faults included
    Bytes boot_bytes;      // sent unasked after a reset request
    std::chrono::steady_clock::time_point at;
};

// What the fault queue has done since it was last cleared.
struct FaultReport {
    std::vector<size_t> applied; // by kind, in kAllFaultKinds order
    size_t spoilt = 0;           // replies with at least one fault
    size_t pending = 0;          // chosen faults still queued
    Hostile hostile;
};

struct SimulatorOptions {
    std::array<uint8_t, 2> version{0x01, 0x07};
    std::optional<Bytes> boot_bytes; // unset: the firmware's default banner
    // An incomplete frame older than this is given up and the search for a
    // head resumes after its first byte.
    std::chrono::milliseconds partial_timeout{100};
};

class Simulator {
public:
    // The niceness the service thread asks for (see serve()).
    static constexpr int kServiceNice = -10;

    Simulator() : Simulator(SimulatorOptions{}) {}
    explicit Simulator(const SimulatorOptions &options); // throws std::system_error
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // The slave side, to be opened by the module like a real serial line.
    [[nodiscard]] const std::string &tty_path() const { return tty_path_; }

    // A connected socket for a peer that takes one, such as QEMU's serial
    // port; the simulator serves its other end from then on, instead of the
    // pseudo-terminal. The caller owns the descriptor (close-on-exec).
    // A pseudo-terminal hands bytes to the other side through a kernel
    // worker thread, which a busy host can keep waiting for longer than the
    // module waits for a reply byte; a socket hands them over at once.
    [[nodiscard]] int open_socket_line(); // throws std::system_error

    // Fault injection.
    void inject(Fault fault);
    void clear_faults();
    void set_silent(bool silent); // requests are logged, neither done nor answered
    void set_hostile(Hostile hostile);
    [[nodiscard]] FaultReport fault_report() const;

    // Observation. The log keeps the newest requests, at most kMaxLogged (a
    // simulator serving a long session stays the same size); the counts
    // cover every request.
    static constexpr size_t kMaxLogged = 1024;
    [[nodiscard]] std::vector<RequestRecord> requests() const;
    [[nodiscard]] size_t request_count() const;
    [[nodiscard]] size_t reply_count() const; // replies that put bytes on the line
    [[nodiscard]] size_t bad_crc_count() const;
    [[nodiscard]] size_t dropped_bytes() const; // skipped while looking for a head
    [[nodiscard]] bool wait_for_requests(size_t n, std::chrono::milliseconds timeout) const;
    // Every byte put on the line: replies, spoilt or not, and unasked bytes.
    [[nodiscard]] size_t bytes_sent() const { return bytes_sent_; }
    // Waits until nothing is being sent or waits to be sent; false at the timeout.
    [[nodiscard]] bool wait_quiet(std::chrono::milliseconds timeout) const;
    void clear_log();
    // Called on the service thread after each request has been answered.
    void set_observer(std::function<void(const RequestRecord &)> observer);

    // Firmware state.
    [[nodiscard]] PinTable table() const;
    [[nodiscard]] bool table_valid() const;
    void set_table(const PinTable &table);
    [[nodiscard]] unsigned reset_count() const;
    void power_on();
    size_t feed_uart_rx(std::span<const uint8_t> bytes);
    [[nodiscard]] size_t uart_rx_waiting() const;
    void set_version(uint8_t major, uint8_t minor);
    void set_boot_bytes(Bytes bytes);
    // Puts bytes on the line now, as stray output the module did not ask for.
    void send_unsolicited(Bytes bytes);
    // Runs f(Firmware &) under the simulator's lock: how tests and the board
    // set and read the device models' state between requests.
    template <class F> decltype(auto) with_firmware(F &&f)
    {
        std::lock_guard lock(mu_);
        return std::forward<F>(f)(firmware_);
    }

private:
    class Fd {
    public:
        explicit Fd(int fd = -1) : fd_(fd) {}
        ~Fd();
        Fd(const Fd &) = delete;
        Fd &operator=(const Fd &) = delete;
        [[nodiscard]] int get() const { return fd_; }
        void reset(int fd);

    private:
        int fd_;
    };

    void open_pty();
    void serve();
    void serve_frames();
    void handle(Bytes raw);
    Delivery answer(RequestRecord &rec);
    void flush_outgoing();
    void drain_wake();
    void wake() const;
    [[nodiscard]] bool pause(std::chrono::milliseconds d);
    [[nodiscard]] bool write_all(std::span<const uint8_t> bytes);

    Fd master_;
    Fd slave_;                        // held open so the master never sees a hang-up between users
    Fd wake_;                         // eventfd: stop request or queued unsolicited bytes
    Fd socket_line_;                  // service thread only; served instead of master_
    std::atomic<int> new_socket_{-1}; // handed to the service thread
    [[nodiscard]] int line() const { return socket_line_.get() >= 0 ? socket_line_.get() : master_.get(); }
    std::string tty_path_;
    std::chrono::milliseconds partial_timeout_;
    RequestSplitter splitter_;  // service thread only
    bool outgoing_due_ = false; // service thread only
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> bytes_sent_{0};

    mutable std::mutex mu_; // guards everything below
    mutable std::condition_variable logged_;
    Firmware firmware_;
    FaultQueue faults_;
    bool silent_ = false;
    bool busy_ = false;          // a delivery is being sent
    bool splitter_busy_ = false; // request bytes wait to be framed
    std::deque<RequestRecord> log_;
    size_t requests_ = 0;
    size_t replies_ = 0;
    size_t bad_crc_ = 0;
    size_t dropped_ = 0;
    Bytes outgoing_;
    std::function<void(const RequestRecord &)> observer_;

    std::thread thread_; // last: starts once everything above exists
};

} // namespace coproc
