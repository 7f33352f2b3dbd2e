// The sensor and actuator devices behind the firmware's pins: four triggered
// sensors, a WS2812 strip, a buzzer, an ICM-20689 and an infrared link. Each
// keeps the state a person or a test sets and reads (through
// Simulator::with_firmware), and answers its requests in the byte layouts
// documented in docs/coprocessor.md.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "coproc/firmware.hpp"

namespace coproc {

// Status nibbles of these devices besides STATUS_DONE and STATUS_BAD_ARGUMENT.
inline constexpr uint8_t STATUS_NOT_CLAIMED = 0x4; // a buzzer request before CMD_OPEN

// A quantity that drifts slowly around its set point, a step per reading,
// until it is held at a value.
class Drifting {
public:
    Drifting(double centre, double amplitude, double step) : centre_(centre), amplitude_(amplitude), step_(step) {}
    void hold(double value)
    {
        centre_ = value;
        offset_ = 0;
        held_ = true;
    }
    void release() { held_ = false; }
    [[nodiscard]] bool held() const { return held_; }
    // What the next reading gives.
    [[nodiscard]] double value() const { return centre_ + offset_; }
    // What the last reading gave, if there was one since power-on or a hold.
    [[nodiscard]] std::optional<double> last() const { return last_; }
    // The value of this reading; the next one has moved a step.
    double read();

private:
    double centre_, amplitude_, step_;
    double offset_ = 0;
    int direction_ = 1;
    bool held_ = false;
    std::optional<double> last_;
};

// A triggered sensor: a CMD_CONTROL request (4 argument bytes, byte 0 the
// pin) takes one reading.
class TriggeredSensor : public DeviceModel {
public:
    [[nodiscard]] size_t reply_payload(const Frame &request) const override;
    [[nodiscard]] Reply handle(const Frame &request) override;
    [[nodiscard]] unsigned readings() const { return readings_; }
    [[nodiscard]] uint8_t last_pin() const { return last_pin_; }

protected:
    [[nodiscard]] virtual size_t reading_len() const = 0;
    [[nodiscard]] virtual Bytes measure() = 0;
    // Requests other than CMD_CONTROL: acknowledged.
    [[nodiscard]] virtual Reply other(const Frame &request);

private:
    unsigned readings_ = 0;
    uint8_t last_pin_ = 0;
};

// DHT: relative humidity and temperature, each a whole part and tenths:
// [humidity %, tenths, temperature degC (bit 7 set below zero), tenths].
class DhtModel : public TriggeredSensor {
public:
    [[nodiscard]] uint8_t type() const override { return DEV_TYPE_DHT; }
    void set(double celsius, double humidity)
    {
        temperature.hold(celsius);
        this->humidity.hold(humidity);
    }
    void describe(std::ostream &out) const override;
    [[nodiscard]] const Bytes &written() const { return written_; }
    Drifting temperature{23.0, 1.0, 0.1};
    Drifting humidity{45.0, 3.0, 0.2};

protected:
    [[nodiscard]] size_t reading_len() const override { return 4; }
    [[nodiscard]] Bytes measure() override;
    [[nodiscard]] Reply other(const Frame &request) override; // CMD_WRITE: kept

private:
    Bytes written_;
};

// DS18B20: the scratchpad's first four bytes: temperature in 1/16 degC,
// little-endian two's complement, then TH and the configuration (0x7F,
// 12 bits).
class Ds18b20Model : public TriggeredSensor {
public:
    [[nodiscard]] uint8_t type() const override { return DEV_TYPE_DS18B20; }
    void set(double celsius) { temperature.hold(celsius); }
    void describe(std::ostream &out) const override;
    Drifting temperature{21.5, 0.5, 0.0625};

protected:
    [[nodiscard]] size_t reading_len() const override { return 4; }
    [[nodiscard]] Bytes measure() override;
};

// SR04: the echo's distance in millimetres, little-endian.
class Sr04Model : public TriggeredSensor {
public:
    [[nodiscard]] uint8_t type() const override { return DEV_TYPE_SR04; }
    void set(double millimetres) { distance.hold(millimetres); }
    void describe(std::ostream &out) const override;
    Drifting distance{500.0, 20.0, 2.0};

protected:
    [[nodiscard]] size_t reading_len() const override { return 2; }
    [[nodiscard]] Bytes measure() override;
};

// GP2Y1010AU: dust density in ug/m3, little-endian.
class Gp2yModel : public TriggeredSensor {
public:
    [[nodiscard]] uint8_t type() const override { return DEV_TYPE_GP2Y; }
    void set(double ug_m3) { density.hold(ug_m3); }
    void describe(std::ostream &out) const override;
    Drifting density{35.0, 10.0, 1.0};

protected:
    [[nodiscard]] size_t reading_len() const override { return 2; }
    [[nodiscard]] Bytes measure() override;
};

// WS2812 strip: CMD_WRITE [pin, first LED, G R B, G R B...] sets LEDs from
// the first one on; an empty write changes nothing.
class Ws2812Model : public DeviceModel {
public:
    static constexpr size_t kMaxLeds = 256;
    struct Colour {
        uint8_t r = 0, g = 0, b = 0;
        bool operator==(const Colour &) const = default;
    };
    [[nodiscard]] uint8_t type() const override { return DEV_TYPE_WS2812; }
    [[nodiscard]] Reply handle(const Frame &request) override;
    void power_on() override;
    void describe(std::ostream &out) const override;
    [[nodiscard]] const std::vector<Colour> &leds() const { return leds_; } // as many as were ever lit
    [[nodiscard]] uint8_t pin() const { return pin_; }
    [[nodiscard]] unsigned writes() const { return writes_; }

private:
    std::vector<Colour> leds_;
    uint8_t pin_ = 0;
    unsigned writes_ = 0;
};

// Buzzer: CMD_OPEN claims it (each open counts), CMD_CLOSE releases one
// claim; CMD_WRITE [on, frequency Hz (LE16), duration ms (LE16)] while
// claimed; CMD_READ gives 1 while sounding, else 0. A tone ends by itself
// once its duration has passed; a duration of 0 sounds until told off.
class BuzzerModel : public DeviceModel {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Where the model reads the time; tests put a clock of their own here.
    void set_clock(Clock clock) { clock_ = std::move(clock); }
    [[nodiscard]] uint8_t type() const override { return DEV_TYPE_BUZZER; }
    [[nodiscard]] Reply handle(const Frame &request) override;
    void power_on() override;
    void describe(std::ostream &out) const override;
    [[nodiscard]] unsigned claims() const { return claims_; }
    [[nodiscard]] bool sounding() const;
    [[nodiscard]] const Bytes &told() const { return told_; }
    // What a read answers: the sounding flag unless a test set a byte.
    void set_read_byte(uint8_t b) { read_byte_ = b; }

private:
    unsigned claims_ = 0;
    bool sounding_ = false;                         // told on, and not off since
    std::chrono::steady_clock::time_point until_{}; // when the tone ends; max: never
    Bytes told_;
    int read_byte_ = -1;
    Clock clock_ = [] { return std::chrono::steady_clock::now(); };
};

// ICM-20689: CMD_READ [n] gives n bytes of the register block from
// ACCEL_XOUT_H: accelerometer x, y, z, temperature, gyroscope x, y, z, each
// big-endian int16 (+-2 g: 16384 per g; +-250 dps: 131 per dps; temperature
// raw / 326.8 + 25 degC), then zeros.
class Icm20689Model : public DeviceModel {
public:
    [[nodiscard]] uint8_t type() const override { return DEV_TYPE_ICM20689; }
    [[nodiscard]] size_t reply_payload(const Frame &request) const override;
    [[nodiscard]] Reply handle(const Frame &request) override;
    void describe(std::ostream &out) const override;
    void set_accel(double x, double y, double z) { accel_g_ = {x, y, z}; }
    void set_gyro(double x, double y, double z) { gyro_dps_ = {x, y, z}; }
    void set_temperature(double celsius) { celsius_ = celsius; }
    [[nodiscard]] std::array<uint8_t, 14> registers() const;

private:
    std::array<double, 3> accel_g_{0, 0, 1}; // at rest: gravity on z
    std::array<double, 3> gyro_dps_{0, 0, 0};
    double celsius_ = 25.0;
};

// The infrared link: what the transmitter sends reaches the receiver, as if
// the two faced each other, and codes from outside can be injected. A code
// is four bytes (address, its inverse, command, its inverse).
struct IrLink {
    static constexpr size_t kCapacity = 16;
    using Code = std::array<uint8_t, 4>;
    std::deque<Code> waiting; // at the receiver, oldest first
    std::vector<Code> sent;   // by the transmitter, oldest first
    Code last_received{};     // the receiver's last code taken
    Bytes settings;           // the last CMD_WRITE to either
    size_t lost = 0;          // arrivals dropped on a full queue
    void arrive(const Code &code);
};

// The transmitter (ir_send): CMD_CONTROL [code 4, repeats, 5 reserved] sends
// the code; CMD_READ [n] gives n bytes of the last code sent.
class IrSendModel : public DeviceModel {
public:
    explicit IrSendModel(std::shared_ptr<IrLink> link) : link_(std::move(link)) {}
    [[nodiscard]] uint8_t type() const override { return DEV_TYPE_IR_SEND; }
    [[nodiscard]] size_t reply_payload(const Frame &request) const override;
    [[nodiscard]] Reply handle(const Frame &request) override;
    void power_on() override;
    void describe(std::ostream &out) const override;
    [[nodiscard]] IrLink &link() { return *link_; }

private:
    std::shared_ptr<IrLink> link_;
};

// The receiver (ir_recv): CMD_CONTROL [what, 9 more]: `what` below 0x2F asks
// how many codes wait (one byte); from 0x2F on takes the oldest code (four
// bytes; 00 00 00 00 when none waits). CMD_READ [n] gives n bytes of the
// last code taken.
class IrRecvModel : public DeviceModel {
public:
    static constexpr uint8_t kTakeCode = 0x2F;
    explicit IrRecvModel(std::shared_ptr<IrLink> link) : link_(std::move(link)) {}
    [[nodiscard]] uint8_t type() const override { return DEV_TYPE_IR_RECV; }
    [[nodiscard]] size_t reply_payload(const Frame &request) const override;
    [[nodiscard]] Reply handle(const Frame &request) override;
    void describe(std::ostream &out) const override;
    [[nodiscard]] IrLink &link() { return *link_; }

private:
    std::shared_ptr<IrLink> link_;
};

void install_sensor_models(Firmware &firmware);

} // namespace coproc
