#include "coproc/models/uart.hpp"

#include <algorithm>
#include <ostream>

#include <fmt/format.h>

namespace coproc {

namespace {

// A data read asks for N + 1 payload bytes: the count, then up to N bytes.
size_t bulk_length(const Frame &req) { return req.payload.empty() ? 1 : std::max<size_t>(req.payload[0], 1); }

const char *baud_name(uint8_t code)
{
    static const char *const names[] = {"?", "9600", "19200", "38400", "57600", "115200", "230400", "460800", "921600"};
    return code < std::size(names) ? names[code] : "?";
}

} // namespace

size_t UartModel::reply_payload(const Frame &request) const
{
    return request.command == CMD_READ ? bulk_length(request) : 1;
}

Reply UartModel::handle(const Frame &request)
{
    switch (request.command) {
    case CMD_WRITE:
        sent_.insert(sent_.end(), request.payload.begin(), request.payload.end());
        sent_total_ += request.payload.size();
        while (sent_.size() > kSentKept)
            sent_.pop_front();
        if (sink_)
            sink_(request.payload);
        return {};
    case CMD_CONTROL:
        return control(request);
    case CMD_READ:
        return read(request);
    default:
        return {};
    }
}

Reply UartModel::control(const Frame &request)
{
    if (request.payload.empty())
        return {STATUS_BAD_ARGUMENT};
    if (request.payload[0] == CTRL_RX_COUNT)
        return {STATUS_DONE, Bytes{static_cast<uint8_t>(std::min<size_t>(rx_.size(), 255))}};
    if (request.payload[0] == CTRL_SET_LINE) {
        if (request.payload.size() < 6)
            return {STATUS_BAD_ARGUMENT};
        const auto &p = request.payload;
        line_ = UartLine{p[1], p[2], p[3], p[4], p[5]};
        ++line_requests_;
    }
    return {};
}

// Payload: count c, then c bytes oldest first, zero padding up to the length.
Reply UartModel::read(const Frame &request)
{
    const size_t len = bulk_length(request);
    if (request.payload.empty() || request.payload[0] == 0)
        return {STATUS_BAD_ARGUMENT, Bytes(len, 0x00)};
    ++data_reads_;
    const size_t c = std::min(rx_.size(), len - 1);
    Bytes out(len, 0x00);
    out[0] = static_cast<uint8_t>(c);
    std::copy_n(rx_.begin(), c, out.begin() + 1);
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(c));
    return {STATUS_DONE, std::move(out)};
}

size_t UartModel::feed(std::span<const uint8_t> bytes)
{
    const size_t taken = std::min(kUartRxCapacity - rx_.size(), bytes.size());
    rx_.insert(rx_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(taken));
    lost_ += bytes.size() - taken;
    return taken;
}

// The port restarts empty and with its line settings forgotten.
void UartModel::power_on()
{
    rx_.clear();
    line_.reset();
}

void UartModel::describe(std::ostream &out) const
{
    out << "uart: ";
    if (line_)
        out << fmt::format("{} baud (code {}), {} data bits, settings {} {} {}", baud_name(line_->baud_code),
                           line_->baud_code, line_->data_bits, line_->setting3, line_->setting4, line_->setting5);
    else
        out << "line not set";
    out << fmt::format("; received {} waiting, {} lost; sent {} byte{}\n", rx_.size(), lost_, sent_total_,
                       sent_total_ == 1 ? "" : "s");
}

} // namespace coproc
