#include "coproc/simulator.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <thread>

namespace coproc {

namespace {

[[noreturn]] void fail(const char *what) { throw std::system_error(errno, std::generic_category(), what); }

int retry_poll(pollfd *fds, nfds_t n, int timeout_ms)
{
    int r;
    do {
        r = ::poll(fds, n, timeout_ms);
    } while (r < 0 && errno == EINTR);
    return r;
}

} // namespace

Simulator::Fd::~Fd() { reset(-1); }

void Simulator::Fd::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

Simulator::Simulator(const SimulatorOptions &options)
    : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), partial_timeout_(options.partial_timeout)
{
    if (wake_.get() < 0)
        fail("eventfd");
    open_pty();
    firmware_.set_version(options.version[0], options.version[1]);
    if (options.boot_bytes)
        firmware_.set_boot_bytes(*options.boot_bytes);
    thread_ = std::thread([this] { serve(); });
}

Simulator::~Simulator()
{
    stopping_ = true;
    wake();
    thread_.join();
    if (const int fd = new_socket_.exchange(-1); fd >= 0)
        ::close(fd);
}

void Simulator::open_pty()
{
    master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (master_.get() < 0)
        fail("posix_openpt");
    if (::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0)
        fail("grantpt/unlockpt");
    std::array<char, 128> name{};
    if (::ptsname_r(master_.get(), name.data(), name.size()) != 0)
        fail("ptsname_r");
    tty_path_ = name.data();
    slave_.reset(::open(tty_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (slave_.get() < 0)
        fail("open pty slave");
    // Raw before anyone else opens it: an echoing line would hand the
    // co-processor its own replies back as requests.
    termios tio{};
    if (::tcgetattr(slave_.get(), &tio) != 0)
        fail("tcgetattr");
    ::cfmakeraw(&tio);
    if (::tcsetattr(slave_.get(), TCSANOW, &tio) != 0)
        fail("tcsetattr");
}

int Simulator::open_socket_line()
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        fail("socketpair");
    ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    if (const int old = new_socket_.exchange(ends[0]); old >= 0)
        ::close(old);
    wake();
    return ends[1];
}

void Simulator::wake() const
{
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wake_.get(), &one, sizeof one);
}

// On the board the co-processor is a chip of its own: it answers within
// microseconds however busy the host is, well inside the module's wait for a
// reply byte. Here it is one thread among the host's, and on a loaded host an
// ordinary thread can wait longer than that wait for its turn, so the module
// would see a reply that never came. The service thread therefore asks for a
// larger share of the processor; where the host refuses, it runs as it is.
void Simulator::serve()
{
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kServiceNice);
    std::array<uint8_t, 512> buf{};
    while (!stopping_) {
        if (const int fd = new_socket_.exchange(-1); fd >= 0)
            socket_line_.reset(fd);
        if (outgoing_due_)
            flush_outgoing();
        std::array<pollfd, 2> fds{{{line(), POLLIN, 0}, {wake_.get(), POLLIN, 0}}};
        const int timeout = splitter_.has_partial() ? static_cast<int>(partial_timeout_.count()) : -1;
        const int r = retry_poll(fds.data(), fds.size(), timeout);
        if (fds[1].revents & POLLIN)
            drain_wake();
        if (stopping_)
            return;
        if (r == 0)
            splitter_.abandon_partial(); // a frame that never completed
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(line(), buf.data(), buf.size());
            if (n > 0)
                splitter_.push(std::span(buf.data(), static_cast<size_t>(n)));
            else if (n == 0)
                (void)pause(std::chrono::milliseconds(10)); // a socket whose peer has gone
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            (void)pause(std::chrono::milliseconds(10)); // no busy loop on a hung-up line
        }
        serve_frames();
    }
}

// Clears the eventfd; unless this was the stop request, it announced bytes
// queued by send_unsolicited(), which the serve loop sends next.
void Simulator::drain_wake()
{
    uint64_t count;
    [[maybe_unused]] ssize_t n = ::read(wake_.get(), &count, sizeof count);
    outgoing_due_ = true;
}

void Simulator::serve_frames()
{
    while (!stopping_) {
        auto raw = splitter_.next();
        {
            std::lock_guard lock(mu_);
            dropped_ = splitter_.dropped();
            splitter_busy_ = raw.has_value() || splitter_.has_partial();
        }
        if (!raw)
            return;
        handle(std::move(*raw));
    }
}

void Simulator::handle(Bytes raw)
{
    RequestRecord rec;
    rec.frame = *decode(raw); // the splitter never yields fewer than 5 bytes
    rec.crc_ok = rec.frame.crc_ok;
    rec.raw = std::move(raw);
    rec.at = std::chrono::steady_clock::now();
    std::function<void(const RequestRecord &)> observer;
    Delivery delivery;
    Bytes boot_bytes;
    std::optional<RequestRecord> observed;
    {
        std::lock_guard lock(mu_);
        delivery = answer(rec);
        boot_bytes = rec.boot_bytes;
        busy_ = true;
        if (observer_) {
            observer = observer_;
            observed = rec;
        }
        log_.push_back(std::move(rec));
        if (log_.size() > kMaxLogged)
            log_.pop_front();
    }
    logged_.notify_all();
    // The reply goes out after the log entry, so a test that saw the request
    // logged may still have to wait for the bytes; it reads with a timeout.
    const bool sent = pause(delivery.delay) && write_all(delivery.bytes) &&
                      (delivery.later.empty() || (pause(delivery.gap) && write_all(delivery.later))) &&
                      write_all(boot_bytes);
    {
        std::lock_guard lock(mu_);
        busy_ = false;
    }
    if (sent && observer)
        observer(*observed);
}

// Runs the request through the firmware and the fault queue; mu_ is held.
Delivery Simulator::answer(RequestRecord &rec)
{
    ++requests_;
    bad_crc_ += rec.crc_ok ? 0 : 1;
    if (silent_)
        return {};
    Answer answer = firmware_.handle(rec.frame);
    rec.answered = true;
    rec.boot_bytes = std::move(answer.boot_bytes);
    if (!answer.reply)
        return {};
    Delivery delivery = faults_.apply(std::move(*answer.reply), rec.raw);
    rec.reply_sent = delivery.bytes;
    rec.reply_sent.insert(rec.reply_sent.end(), delivery.later.begin(), delivery.later.end());
    replies_ += rec.reply_sent.empty() ? 0 : 1;
    return delivery;
}

void Simulator::flush_outgoing()
{
    outgoing_due_ = false;
    Bytes out;
    {
        std::lock_guard lock(mu_);
        out.swap(outgoing_);
    }
    (void)write_all(out);
}

// Sleeps for d unless a stop is requested; false when stopping.
bool Simulator::pause(std::chrono::milliseconds d)
{
    const auto until = std::chrono::steady_clock::now() + d;
    while (!stopping_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        pollfd p{wake_.get(), POLLIN, 0};
        if (retry_poll(&p, 1, static_cast<int>(left.count())) > 0)
            drain_wake();
    }
    return false;
}

// The master is non-blocking: when the slave's input buffer is full (nobody
// reads the line), wait for room, but give up at once on a stop request.
bool Simulator::write_all(std::span<const uint8_t> bytes)
{
    while (!bytes.empty() && !stopping_) {
        const ssize_t n = ::write(line(), bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<size_t>(n));
            bytes_sent_ += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        std::array<pollfd, 2> fds{{{line(), POLLOUT, 0}, {wake_.get(), POLLIN, 0}}};
        retry_poll(fds.data(), fds.size(), 50);
        if (fds[1].revents & POLLIN)
            drain_wake();
    }
    return bytes.empty();
}

// ---- Test-facing API: every call takes the lock shared with the service thread.

void Simulator::inject(Fault fault)
{
    std::lock_guard lock(mu_);
    faults_.add(std::move(fault));
}

void Simulator::clear_faults()
{
    std::lock_guard lock(mu_);
    faults_.clear();
}

void Simulator::set_hostile(Hostile hostile)
{
    std::lock_guard lock(mu_);
    faults_.set_hostile(std::move(hostile));
}

FaultReport Simulator::fault_report() const
{
    std::lock_guard lock(mu_);
    return {faults_.applied(), faults_.spoilt(), faults_.pending(), faults_.hostile()};
}

bool Simulator::wait_quiet(std::chrono::milliseconds timeout) const
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard lock(mu_);
            if (!busy_ && outgoing_.empty() && !splitter_busy_)
                return true;
        }
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void Simulator::set_silent(bool silent)
{
    std::lock_guard lock(mu_);
    silent_ = silent;
}

std::vector<RequestRecord> Simulator::requests() const
{
    std::lock_guard lock(mu_);
    return {log_.begin(), log_.end()};
}

size_t Simulator::request_count() const
{
    std::lock_guard lock(mu_);
    return requests_;
}

size_t Simulator::reply_count() const
{
    std::lock_guard lock(mu_);
    return replies_;
}

size_t Simulator::bad_crc_count() const
{
    std::lock_guard lock(mu_);
    return bad_crc_;
}

size_t Simulator::dropped_bytes() const
{
    std::lock_guard lock(mu_);
    return dropped_;
}

bool Simulator::wait_for_requests(size_t n, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mu_);
    return logged_.wait_for(lock, timeout, [&] { return requests_ >= n; });
}

void Simulator::clear_log()
{
    std::lock_guard lock(mu_);
    log_.clear();
}

void Simulator::set_observer(std::function<void(const RequestRecord &)> observer)
{
    std::lock_guard lock(mu_);
    observer_ = std::move(observer);
}

PinTable Simulator::table() const
{
    std::lock_guard lock(mu_);
    return firmware_.table();
}

bool Simulator::table_valid() const
{
    std::lock_guard lock(mu_);
    return firmware_.table_valid();
}

void Simulator::set_table(const PinTable &table)
{
    std::lock_guard lock(mu_);
    firmware_.set_table(table);
}

unsigned Simulator::reset_count() const
{
    std::lock_guard lock(mu_);
    return firmware_.reset_count();
}

void Simulator::power_on()
{
    std::lock_guard lock(mu_);
    firmware_.power_on();
}

size_t Simulator::feed_uart_rx(std::span<const uint8_t> bytes)
{
    std::lock_guard lock(mu_);
    return firmware_.feed_uart_rx(bytes);
}

size_t Simulator::uart_rx_waiting() const
{
    std::lock_guard lock(mu_);
    return firmware_.uart_rx_waiting();
}

void Simulator::set_version(uint8_t major, uint8_t minor)
{
    std::lock_guard lock(mu_);
    firmware_.set_version(major, minor);
}

void Simulator::set_boot_bytes(Bytes bytes)
{
    std::lock_guard lock(mu_);
    firmware_.set_boot_bytes(std::move(bytes));
}

void Simulator::send_unsolicited(Bytes bytes)
{
    {
        std::lock_guard lock(mu_);
        outgoing_.insert(outgoing_.end(), bytes.begin(), bytes.end());
    }
    wake();
}

} // namespace coproc
