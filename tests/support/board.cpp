#include "board.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace qtest {

Board::Board(std::vector<std::string> params, unsigned hz)
{
    khost::BootConfig config;
    config.serial_path = sim_.tty_path();
    config.hz = hz;
    khost::boot(config);
    khost::log_clear();
    std::string why;
    int err = load(params, &why);
    EXPECT_EQ(err, 0) << why;
}

Board::~Board()
{
    if (loaded_)
        unload_when_free();
    khost::halt();
}

int Board::load(const std::vector<std::string> &params, std::string *why)
{
    int err = khost::insmod(khost::module_path(), params, why);
    loaded_ = err == 0;
    return err;
}

int Board::unload(std::string *why)
{
    int err = khost::rmmod("quorvel_linux_module", why);
    if (err == 0)
        loaded_ = false;
    return err;
}

int Board::unload_when_free(std::string *why)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int err;
    while ((err = unload(why)) == -EBUSY && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return err;
}

std::vector<std::string> Board::log()
{
    std::vector<std::string> out;
    for (const auto &r : khost::log_records())
        out.push_back(r.text);
    return out;
}

long Board::find_line(const std::string &text, size_t from)
{
    auto lines = log();
    for (size_t i = from; i < lines.size(); i++)
        if (lines[i] == text)
            return static_cast<long>(i);
    return -1;
}

} // namespace qtest
