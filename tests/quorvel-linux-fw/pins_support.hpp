#pragma once
// What the pin drivers' tests share: sysfs files read and written as a
// program does, and requests compared byte for byte with the frame the
// co-processor's own encoder makes of the same payload.
#include "board.hpp"

#include <coproc/frame.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qtest {

// `echo TEXT > PATH`: TEXT and a newline in one write; the write's result,
// or open's error.
inline long sysfs_write(khost::Program &p, const std::string &path, const std::string &text)
{
    long fd = p.open(path, 1);
    if (fd < 0)
        return fd;
    const std::string line = text + "\n";
    long ret = p.write(static_cast<int>(fd), line.data(), line.size());
    p.close(static_cast<int>(fd));
    return ret;
}

inline long sysfs_write(const std::string &path, const std::string &text)
{
    khost::Program p;
    return sysfs_write(p, path, text);
}

// The file's text, or "error N".
inline std::string sysfs_read(khost::Program &p, const std::string &path)
{
    long fd = p.open(path, 0);
    if (fd < 0)
        return "error " + std::to_string(fd);
    char buf[256];
    long n = p.read(static_cast<int>(fd), buf, sizeof(buf));
    p.close(static_cast<int>(fd));
    return n < 0 ? "error " + std::to_string(n) : std::string(buf, static_cast<size_t>(n));
}

inline std::string sysfs_read(const std::string &path)
{
    khost::Program p;
    return sysfs_read(p, path);
}

// The request exactly as the module must send it (its tail is random: the
// recorded one is taken, and must be 0x80..0xBF), answered.
inline void expect_request(const coproc::RequestRecord &rec, uint8_t type, uint8_t cmd,
                           const std::vector<uint8_t> &payload)
{
    ASSERT_FALSE(rec.raw.empty());
    const uint8_t tail = rec.raw.back();
    EXPECT_EQ(tail & 0xC0, 0x80) << coproc::hex(rec.raw);
    EXPECT_EQ(coproc::hex(rec.raw), coproc::hex(coproc::encode_request(type, cmd, payload, tail)));
}

// The requests since the log was last cleared, and clears it.
inline std::vector<coproc::RequestRecord> take_requests(Board &b)
{
    auto reqs = b.requests();
    b.sim().clear_log();
    return reqs;
}

} // namespace qtest
