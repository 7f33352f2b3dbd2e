#include "pcap.hpp"

#include <array>
#include <cerrno>
#include <cstring>

namespace board {

namespace {

void put32(uint8_t *at, uint32_t v) { std::memcpy(at, &v, 4); } // the file's byte order is the writer's
void put16(uint8_t *at, uint16_t v) { std::memcpy(at, &v, 2); }

PcapDir pcap_dir(khost::SerialEvent::Dir dir)
{
    switch (dir) {
    case khost::SerialEvent::Dir::ToPeer:
        return PcapDir::Request;
    case khost::SerialEvent::Dir::FromPeer:
        return PcapDir::Reply;
    case khost::SerialEvent::Dir::Drained:
        break;
    }
    return PcapDir::Drained;
}

} // namespace

PcapWriter::~PcapWriter()
{
    if (file_)
        std::fclose(file_);
}

bool PcapWriter::open(const std::string &path, std::string *why)
{
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        *why = std::strerror(errno);
        return false;
    }
    // Microsecond time stamps: the classic header every reader knows.
    std::array<uint8_t, 24> header{};
    put32(&header[0], 0xa1b2c3d4);
    put16(&header[4], 2);
    put16(&header[6], 4);
    put32(&header[16], 65535); // snapshot length
    put32(&header[20], kPcapLinkType);
    std::fwrite(header.data(), 1, header.size(), file_);
    std::fflush(file_);
    return true;
}

void PcapWriter::write(const TraceLine &line)
{
    if (!file_)
        return;
    // Time since the board's boot, as the trace prints it.
    const int64_t us = line.time_ns / 1000;
    const auto length = static_cast<uint32_t>(line.bytes.size() + 1);
    std::array<uint8_t, 17> record{};
    put32(&record[0], static_cast<uint32_t>(us / 1'000'000));
    put32(&record[4], static_cast<uint32_t>(us % 1'000'000));
    put32(&record[8], length);
    put32(&record[12], length);
    record[16] = static_cast<uint8_t>(pcap_dir(line.dir));
    std::fwrite(record.data(), 1, record.size(), file_);
    std::fwrite(line.bytes.data(), 1, line.bytes.size(), file_);
    std::fflush(file_);
}

} // namespace board
