#include "surface.hpp"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/spi/spidev.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <fmt/format.h>

namespace qfuzz {

namespace {

constexpr size_t kScratch = 65536 + 4096;
constexpr size_t kMaxOpen = 12;
// A tty write is one exchange per block the driver takes (250 bytes) and one
// per character that output processing expands (a newline, a tab), each of
// which may wait out its 100 ticks against a co-processor that stays silent:
// a 50 KiB write of random bytes then takes minutes, legitimately. The
// module's write takes no more than 250 bytes per call whatever the size, so
// a tty's writes are kept to one N_TTY buffer.
constexpr size_t kMaxTtyWrite = 4096;

const size_t kSizes[] = {0,  1,  2,   3,   4,   5,   6,   7,   8,   16,  31,  32,  33,  47,   48,   49,   50,   51,
                         63, 64, 100, 240, 241, 249, 250, 251, 252, 255, 256, 257, 498, 1000, 4095, 4096, 65536};

const char *const kWords[] = {"0",
                              "1",
                              "2",
                              "in",
                              "out",
                              "high",
                              "low",
                              "none",
                              "rising",
                              "both",
                              "-1",
                              "255",
                              "256",
                              "47",
                              "48",
                              "100",
                              "0x10",
                              "1000000",
                              "",
                              " ",
                              "abc",
                              "4294967296",
                              "99999999999999999999"};

// SPI_IOC_MESSAGE(n), written out: the header's macro makes a zero-length
// array type for n = 0.
constexpr unsigned spi_message(unsigned n)
{
    return 0x40000000u | ((n * static_cast<unsigned>(sizeof(spi_ioc_transfer))) << 16) | (SPI_IOC_MAGIC << 8);
}
static_assert(spi_message(1) == SPI_IOC_MESSAGE(1));

} // namespace

uint64_t Rng::next()
{
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

const std::vector<unsigned> &real_requests()
{
    static const std::vector<unsigned> requests = [] {
        std::vector<unsigned> r = {0x4102,
                                   0x430A,
                                   0x5201,
                                   0x6301,
                                   0x40044403,
                                   0x40044400,
                                   0x40045301,
                                   0x40044700,
                                   0x400a410a,
                                   0xc00a410b,
                                   I2C_RETRIES,
                                   I2C_TIMEOUT,
                                   I2C_SLAVE,
                                   I2C_TENBIT,
                                   I2C_FUNCS,
                                   I2C_SLAVE_FORCE,
                                   I2C_RDWR,
                                   I2C_PEC,
                                   I2C_SMBUS,
                                   SPI_IOC_RD_MODE,
                                   SPI_IOC_WR_MODE,
                                   SPI_IOC_RD_LSB_FIRST,
                                   SPI_IOC_WR_LSB_FIRST,
                                   SPI_IOC_RD_BITS_PER_WORD,
                                   SPI_IOC_WR_BITS_PER_WORD,
                                   SPI_IOC_RD_MAX_SPEED_HZ,
                                   SPI_IOC_WR_MAX_SPEED_HZ,
                                   SPI_IOC_RD_MODE32,
                                   SPI_IOC_WR_MODE32,
                                   0x5401 /* TCGETS */,
                                   0x5402 /* TCSETS */,
                                   0x540B /* TCFLSH */,
                                   0x5411 /* TIOCOUTQ */,
                                   0x541B /* FIONREAD */,
                                   0x541E /* TIOCGSERIAL */,
                                   0x541F /* TIOCSSERIAL */};
        for (unsigned n = 0; n <= 4; n++)
            r.push_back(spi_message(n));
        return r;
    }();
    return requests;
}

template <class P>
Caller<P>::Caller(std::string name, uint64_t start) : program_(std::move(name)), rng_(start), scratch_(kScratch)
{}

template <class P> Caller<P>::~Caller() { close_all(); }

template <class P> void Caller<P>::close_all()
{
    for (const auto &f : open_)
        program_.close(f.fd);
    open_.clear();
}

template <class P> size_t Caller<P>::size()
{
    if (rng_.chance(80))
        return kSizes[rng_.below(std::size(kSizes))];
    return rng_.below(65537);
}

// The scratch memory, or now and then no buffer or one that is not mapped.
template <class P> void *Caller<P>::buffer(size_t n, bool *bad)
{
    *bad = true;
    const uint64_t r = rng_.below(100);
    if (r < 4)
        return nullptr;
    if (r < 10)
        return khost::bad_user_pointer();
    *bad = false;
    for (size_t i = 0; i < std::min<size_t>(n, 64); i++)
        scratch_[i] = static_cast<uint8_t>(rng_.next());
    return scratch_.data();
}

template <class P> Call Caller<P>::step(const Surface &s)
{
    ++calls_;
    const uint64_t r = rng_.below(100);
    if (open_.empty() || r < 15)
        return r < 8 && !s.readable.empty() ? sysfs_read(s) : do_open(s);
    const size_t index = rng_.below(open_.size());
    const Open f = open_[index];
    if (r < 35)
        return do_read(f);
    if (r < 52)
        return do_write(f);
    if (r < 75)
        return do_ioctl(f);
    if (r < 80)
        return do_poll(f);
    if (r < 88)
        return do_close(index);
    if (r < 94 && !s.writable.empty())
        return sysfs_write(s);
    return sysfs_read(s);
}

template <class P> Call Caller<P>::do_open(const Surface &s)
{
    const bool node = !s.nodes.empty() && (s.readable.empty() || rng_.chance(80));
    if (!node && s.readable.empty())
        return {"open: nothing to open", 0, false};
    const std::string &path = node ? rng_.pick(s.nodes) : rng_.pick(s.readable);
    // A tty's read waits for input for as long as none comes, as it should:
    // the fuzzer opens ttys non-blocking, so that only the module's own
    // waits are judged.
    const bool tty = path.find("/tty") != std::string::npos;
    const int flags = static_cast<int>(rng_.below(3)) | (tty || rng_.chance(30) ? 04000 : 0);
    std::string what = fmt::format("open {} {:#o}", path, flags);
    note(what);
    const long fd = program_.open(path, flags);
    if (fd >= 0) {
        if (open_.size() >= kMaxOpen) {
            program_.close(open_.front().fd);
            open_.erase(open_.begin());
        }
        open_.push_back({static_cast<int>(fd), path});
    }
    return {std::move(what), fd, fd >= 0};
}

template <class P> Call Caller<P>::do_read(const Open &f)
{
    const size_t n = size();
    bool bad = false;
    void *buf = buffer(n, &bad);
    std::string what = fmt::format("read {} {}{}", f.path, n, bad ? " (bad buffer)" : "");
    note(what);
    const long got = program_.read(f.fd, buf, n);
    return {std::move(what), got, got > 0, bad && n > 0};
}

template <class P> Call Caller<P>::do_write(const Open &f)
{
    size_t n = size();
    if (f.path.find("/tty") != std::string::npos)
        n = std::min(n, kMaxTtyWrite);
    bool bad = false;
    void *buf = buffer(n, &bad);
    if (!bad && rng_.chance(30)) {
        const char *word = kWords[rng_.below(std::size(kWords))];
        n = std::strlen(word);
        std::memcpy(buf, word, n);
    } else if (!bad) {
        for (size_t i = 0; i < n; i++)
            scratch_[i] = static_cast<uint8_t>(rng_.next());
    }
    std::string what = fmt::format("write {} {}{}", f.path, n, bad ? " (bad buffer)" : "");
    note(what);
    const long put = program_.write(f.fd, buf, n);
    return {std::move(what), put, put > 0, bad && n > 0};
}

// Pointer-holding requests get their structures built in the scratch memory,
// their buffers in its upper half (or nowhere, or unmapped), their lengths
// within what the buffers hold.
template <class P> unsigned long Caller<P>::ioctl_arg(unsigned request)
{
    uint8_t *base = scratch_.data();
    uint8_t *data = base + 32768;
    auto some_buffer = [&]() -> uint8_t * {
        const uint64_t r = rng_.below(10);
        return r == 0 ? nullptr : r == 1 ? static_cast<uint8_t *>(khost::bad_user_pointer()) : data;
    };
    for (size_t i = 32768; i < 32768 + 512; i++)
        base[i] = static_cast<uint8_t>(rng_.next());
    if (request == I2C_RDWR) {
        auto *msgs = reinterpret_cast<i2c_msg *>(base + 64);
        const unsigned n = static_cast<unsigned>(rng_.below(45));
        for (unsigned i = 0; i < std::min(n, 42u); i++)
            msgs[i] = {static_cast<__u16>(rng_.below(0x80)),
                       static_cast<__u16>(rng_.chance(50) ? I2C_M_RD : rng_.next()),
                       static_cast<__u16>(rng_.chance(80) ? rng_.below(300) : rng_.below(32768)), some_buffer()};
        auto *d = reinterpret_cast<i2c_rdwr_ioctl_data *>(base);
        *d = {rng_.chance(90) ? msgs : nullptr, n};
        return reinterpret_cast<unsigned long>(base);
    }
    if (request == I2C_SMBUS) {
        auto *d = reinterpret_cast<i2c_smbus_ioctl_data *>(base);
        *d = {static_cast<__u8>(rng_.below(3)), static_cast<__u8>(rng_.next()), static_cast<__u32>(rng_.below(10)),
              reinterpret_cast<i2c_smbus_data *>(some_buffer())};
        if (d->data == reinterpret_cast<i2c_smbus_data *>(data) && rng_.chance(50))
            data[0] = static_cast<uint8_t>(rng_.below(40)); // a block length near the limit
        return reinterpret_cast<unsigned long>(base);
    }
    if ((request & ~0x3FFF0000u) == spi_message(0) && request != spi_message(0)) {
        auto *t = reinterpret_cast<spi_ioc_transfer *>(base);
        const unsigned n = ((request >> 16) & 0x3FFF) / sizeof(spi_ioc_transfer);
        for (unsigned i = 0; i < n && i < 8; i++) {
            std::memset(&t[i], 0, sizeof t[i]);
            t[i].tx_buf = reinterpret_cast<uintptr_t>(some_buffer());
            t[i].rx_buf = reinterpret_cast<uintptr_t>(rng_.chance(50) ? some_buffer() : nullptr);
            t[i].len = static_cast<__u32>(rng_.chance(80) ? rng_.below(600) : rng_.below(32768));
            t[i].speed_hz = static_cast<__u32>(rng_.chance(50) ? 0 : rng_.next());
            t[i].bits_per_word = static_cast<__u8>(rng_.chance(70) ? 8 : rng_.next());
            t[i].cs_change = static_cast<__u8>(rng_.below(2));
        }
        return reinterpret_cast<unsigned long>(base);
    }
    const uint64_t r = rng_.below(10);
    if (r == 0)
        return 0;
    if (r == 1)
        return rng_.below(300);
    if (r == 2)
        return reinterpret_cast<unsigned long>(khost::bad_user_pointer());
    for (size_t i = 0; i < 256; i++)
        base[i] = static_cast<uint8_t>(rng_.chance(50) ? rng_.below(4) : rng_.next());
    return reinterpret_cast<unsigned long>(base);
}

template <class P> Call Caller<P>::do_ioctl(const Open &f)
{
    unsigned request;
    const uint64_t r = rng_.below(100);
    if (r < 70)
        request = rng_.pick(real_requests());
    else if (r < 85)
        request = rng_.pick(real_requests()) ^ static_cast<unsigned>(1u << rng_.below(32));
    else
        request = static_cast<unsigned>(rng_.next());
    const unsigned long arg = ioctl_arg(request);
    std::string what = fmt::format("ioctl {} {:#x}", f.path, request);
    note(what);
    const long ret = program_.ioctl(f.fd, request, arg);
    return {std::move(what), ret, ret >= 0};
}

template <class P> Call Caller<P>::do_poll(const Open &f)
{
    std::vector<khost::PollFd> fds{{f.fd, static_cast<short>(POLLIN | POLLOUT), 0}};
    const int timeout = rng_.chance(80) ? 0 : 5;
    std::string what = fmt::format("poll {}", f.path);
    note(what);
    return {std::move(what), program_.poll(fds, timeout), false};
}

template <class P> Call Caller<P>::do_close(size_t index)
{
    const Open f = open_[index];
    open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(index));
    std::string what = fmt::format("close {}", f.path);
    note(what);
    return {std::move(what), program_.close(f.fd), false};
}

template <class P> Call Caller<P>::sysfs_read(const Surface &s)
{
    const std::string &path = rng_.pick(s.readable);
    std::string what = fmt::format("cat {}", path);
    note(what);
    const long fd = program_.open(path, 0);
    if (fd < 0)
        return {std::move(what), fd, false};
    char buf[4096];
    const long n = program_.read(static_cast<int>(fd), buf, sizeof buf);
    program_.close(static_cast<int>(fd));
    return {std::move(what), n, n > 0};
}

template <class P> Call Caller<P>::sysfs_write(const Surface &s)
{
    const std::string &path = rng_.pick(s.writable);
    std::string text = kWords[rng_.below(std::size(kWords))];
    if (rng_.chance(20))
        text = std::to_string(rng_.below(64));
    if (rng_.chance(70))
        text += "\n";
    std::string what = fmt::format("echo '{}' > {}", text, path);
    note(what);
    const long fd = program_.open(path, 1);
    if (fd < 0)
        return {std::move(what), fd, false};
    const long n = program_.write(static_cast<int>(fd), text.data(), text.size());
    program_.close(static_cast<int>(fd));
    return {std::move(what), n, n > 0};
}

std::string made_up_transfer(const Call &call)
{
    if (!call.bad_buffer || call.result <= 0)
        return {};
    return fmt::format("{} -> {}: a count of bytes moved through no buffer", call.what, call.result);
}

template class Caller<khost::Program>;
template class Caller<SysProgram>;

} // namespace qfuzz
