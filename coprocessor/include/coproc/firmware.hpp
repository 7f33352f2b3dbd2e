// Model of the co-processor firmware: for each request, what it does to its
// own state and which bytes it answers with. Pure logic, no I/O and no lock;
// the Simulator serialises every call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "coproc/frame.hpp"

namespace coproc {

inline constexpr size_t kPinCount = 48;
using PinTable = std::array<uint8_t, kPinCount>;

// Status nibbles the firmware answers with. The module only ever tells 0
// from the rest; the nonzero codes exist so that traces can say why.
enum Status : uint8_t {
    STATUS_DONE = 0x0,
    STATUS_BAD_ARGUMENT = 0x2, // empty payload or a length argument out of range
    STATUS_PIN_RANGE = 0x3,    // a table write runs past pin 47; nothing written
    STATUS_BAD_CRC = 0xE,      // the request's CRC did not match; nothing done
};

// Last byte of a 48-pin table read: 0xFF until the table has been written
// since power-on, 0x00 afterwards.
inline constexpr uint8_t kTableInvalidMarker = 0xFF;
inline constexpr uint8_t kTableValidMarker = 0x00;

// Bytes the serial receive buffer holds before it drops new arrivals.
inline constexpr size_t kUartRxCapacity = 4096;

// What the firmware answers to one request: a status nibble and the reply's
// payload, a single zero byte unless the request reads something back.
struct Reply {
    uint8_t status = STATUS_DONE;
    Bytes payload{0x00};
};

// One peripheral type of the firmware: its state and how it answers the
// requests addressed to its type. Models are called under the simulator's
// lock, so they keep no lock of their own.
class DeviceModel {
public:
    virtual ~DeviceModel() = default;
    [[nodiscard]] virtual uint8_t type() const = 0; // DEV_TYPE_*
    // Payload length of the reply the module reads back for this request.
    [[nodiscard]] virtual size_t reply_payload(const Frame &request) const
    {
        (void)request;
        return 1;
    }
    // Called only for requests whose CRC matched.
    [[nodiscard]] virtual Reply handle(const Frame &request) = 0;
    // Power-on and the reset request: back to the state after boot.
    virtual void power_on() {}
    // The state a person wants to see (`coproc show`); nothing by default.
    virtual void describe(std::ostream &out) const { (void)out; }
};

struct Answer {
    std::optional<Bytes> reply; // absent: this request gets no reply (reset)
    bool restarted = false;
    Bytes boot_bytes; // sent unasked once the restart is done
};

class Firmware {
public:
    Firmware();

    [[nodiscard]] Answer handle(const Frame &request);

    // Back to the power-on state: table zeroed and invalid, receive buffer
    // empty. Version and boot bytes are properties of the firmware image and
    // survive.
    void power_on();

    void set_version(uint8_t major, uint8_t minor) { version_ = {major, minor}; }
    [[nodiscard]] std::array<uint8_t, 2> version() const { return version_; }
    void set_boot_bytes(Bytes bytes) { boot_bytes_ = std::move(bytes); }
    [[nodiscard]] const Bytes &boot_bytes() const { return boot_bytes_; }

    [[nodiscard]] const PinTable &table() const { return table_; }
    [[nodiscard]] bool table_valid() const { return table_valid_; }
    void set_table(const PinTable &table); // as if written by the host

    // Bytes arriving on the co-processor's own serial port. Returns how many
    // fitted; the rest are lost, as on a full hardware buffer.
    // (The serial port's model, UartModel, keeps them.)
    size_t feed_uart_rx(std::span<const uint8_t> bytes);
    [[nodiscard]] size_t uart_rx_waiting() const;
    [[nodiscard]] size_t uart_rx_lost() const;

    [[nodiscard]] unsigned reset_count() const { return reset_count_; }

    // Payload length of the reply the module reads back for this request,
    // judged from the request's type, command and first payload byte alone.
    [[nodiscard]] size_t reply_payload(const Frame &request) const;

    // Device models, one per type; a later model for the same type takes the
    // requests from an earlier one.
    void add_model(std::unique_ptr<DeviceModel> model);
    [[nodiscard]] DeviceModel *model_for(uint8_t type) const;
    template <class M> [[nodiscard]] M &model()
    {
        for (const auto &m : models_)
            if (auto *found = dynamic_cast<M *>(m.get()))
                return *found;
        throw std::logic_error("no such device model");
    }
    template <class M> [[nodiscard]] const M &model() const { return const_cast<Firmware *>(this)->model<M>(); }
    void describe(std::ostream &out) const;

private:
    using Result = Reply;
    Result config_control(const Frame &req, bool &restart);
    Result config_write(const Frame &req);
    Result config_read(const Frame &req) const;

    PinTable table_{};
    bool table_valid_ = false;
    std::array<uint8_t, 2> version_{0x01, 0x07};
    Bytes boot_bytes_;
    unsigned reset_count_ = 0;
    std::vector<std::unique_ptr<DeviceModel>> models_;
};

// Adds the firmware's device models (coprocessor/models.cpp).
void install_models(Firmware &firmware);

} // namespace coproc
