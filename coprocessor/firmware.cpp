#include "coproc/firmware.hpp"
#include "coproc/models/uart.hpp"

#include <algorithm>

namespace coproc {

namespace {

// A short banner, as a freshly started firmware prints on its port.
const Bytes kDefaultBootBytes{'\r', '\n', 'b', 'o', 'o', 't', '\r', '\n'};

// Bulk reads carry the reply's payload length, N + 1, as their one payload
// byte. A zero (or missing) byte still gets one payload byte back so that
// the reply stays a well-formed frame.
size_t bulk_length(const Frame &req) { return req.payload.empty() ? 1 : std::max<size_t>(req.payload[0], 1); }

bool is_control(const Frame &req, uint8_t type, uint8_t sub)
{
    return req.type() == type && req.command == CMD_CONTROL && !req.payload.empty() && req.payload[0] == sub;
}

} // namespace

size_t Firmware::reply_payload(const Frame &req) const
{
    if (const DeviceModel *m = model_for(req.type()))
        return m->reply_payload(req);
    if (is_control(req, DEV_TYPE_CONFIG, CTRL_VERSION))
        return 2;
    if (req.command == CMD_READ && req.type() == DEV_TYPE_CONFIG)
        return bulk_length(req);
    return 1;
}

Firmware::Firmware() : boot_bytes_(kDefaultBootBytes) { install_models(*this); }

void Firmware::add_model(std::unique_ptr<DeviceModel> model) { models_.push_back(std::move(model)); }

DeviceModel *Firmware::model_for(uint8_t type) const
{
    for (auto it = models_.rbegin(); it != models_.rend(); ++it)
        if ((*it)->type() == type)
            return it->get();
    return nullptr;
}

void Firmware::describe(std::ostream &out) const
{
    for (const auto &m : models_)
        m->describe(out);
}

void Firmware::power_on()
{
    table_.fill(0);
    table_valid_ = false;
    for (const auto &m : models_)
        m->power_on();
}

void Firmware::set_table(const PinTable &table)
{
    table_ = table;
    table_valid_ = true;
}

size_t Firmware::feed_uart_rx(std::span<const uint8_t> bytes) { return model<UartModel>().feed(bytes); }
size_t Firmware::uart_rx_waiting() const { return model<UartModel>().waiting(); }
size_t Firmware::uart_rx_lost() const { return model<UartModel>().lost(); }

Answer Firmware::handle(const Frame &req)
{
    Answer answer;
    Result r;
    if (!req.crc_ok) {
        // A corrupted request is not acted on, but still answered with the
        // length the module will wait for, so the line stays in step.
        r = {STATUS_BAD_CRC, Bytes(reply_payload(req), 0x00)};
    } else if (DeviceModel *m = model_for(req.type())) {
        r = m->handle(req);
    } else if (req.type() == DEV_TYPE_CONFIG) {
        switch (req.command) {
        case CMD_CONTROL:
            r = config_control(req, answer.restarted);
            break;
        case CMD_WRITE:
            r = config_write(req);
            break;
        case CMD_READ:
            r = config_read(req);
            break;
        default:
            break;
        }
    }
    if (answer.restarted) {
        answer.boot_bytes = boot_bytes_;
        return answer; // the reset request is never answered
    }
    answer.reply = encode_reply(req.head, req.command, r.status, r.payload, req.tail);
    return answer;
}

Firmware::Result Firmware::config_control(const Frame &req, bool &restart)
{
    if (is_control(req, DEV_TYPE_CONFIG, CTRL_VERSION))
        return {STATUS_DONE, Bytes(version_.begin(), version_.end())};
    if (is_control(req, DEV_TYPE_CONFIG, CTRL_RESET)) {
        power_on();
        ++reset_count_;
        restart = true;
    }
    return {};
}

Firmware::Result Firmware::config_write(const Frame &req)
{
    if (req.payload.empty())
        return {STATUS_BAD_ARGUMENT};
    const size_t location = req.payload[0];
    const size_t count = req.payload.size() - 1;
    // All or nothing: a write that would run past the last pin changes no pin.
    if (location + count > kPinCount)
        return {STATUS_PIN_RANGE};
    std::copy(req.payload.begin() + 1, req.payload.end(), table_.begin() + static_cast<std::ptrdiff_t>(location));
    // A write that names no pin tells nothing about the table.
    if (count > 0)
        table_valid_ = true;
    return {};
}

Firmware::Result Firmware::config_read(const Frame &req) const
{
    const size_t len = bulk_length(req);
    if (req.payload.empty() || req.payload[0] == 0 || len > kPinCount + 1)
        return {STATUS_BAD_ARGUMENT, Bytes(len, 0x00)};
    // Byte i is pin i's mode; the byte after pin 47 is the validity marker.
    Bytes out(len);
    for (size_t i = 0; i < len; ++i)
        out[i] = i < kPinCount ? table_[i] : (table_valid_ ? kTableValidMarker : kTableInvalidMarker);
    return {STATUS_DONE, std::move(out)};
}

} // namespace coproc
