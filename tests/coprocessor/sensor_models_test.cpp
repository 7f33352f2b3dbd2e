// The simulated sensor and actuator devices as the firmware serves them:
// reply lengths the module reads, what each refuses, and what a reset does.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "coproc/firmware.hpp"
#include "coproc/models/sensors.hpp"

using namespace coproc;

namespace {

// The reply's payload and status for a request, through the firmware.
struct Answered {
    uint8_t status;
    Bytes payload;
};

Answered ask(Firmware &fw, uint8_t type, uint8_t cmd, Bytes payload, bool corrupt = false)
{
    Bytes raw = encode_request(type, cmd, payload, 0x95);
    if (corrupt)
        raw[raw.size() - 2] ^= 0xff;
    const auto req = decode(raw);
    EXPECT_TRUE(req.has_value());
    const auto answer = fw.handle(*req);
    EXPECT_TRUE(answer.reply.has_value());
    const auto reply = decode(*answer.reply);
    EXPECT_TRUE(reply.has_value());
    EXPECT_EQ(fw.reply_payload(*req), reply->payload.size()) << "the length the module reads";
    return {reply->status, reply->payload};
}

TEST(SensorModels, TriggeredSensorsDriftSlowlyUntilSet)
{
    Firmware fw;
    double lo = 1e9, hi = -1e9, last = fw.model<DhtModel>().temperature.value();
    for (int i = 0; i < 200; i++) {
        const auto a = ask(fw, DEV_TYPE_DHT, CMD_CONTROL, {3, 0, 0, 0});
        ASSERT_EQ(a.payload.size(), 4u);
        const double t = (a.payload[2] & 0x7f) + a.payload[3] / 10.0;
        EXPECT_LE(std::abs(t - last), 0.11) << "a step per reading";
        last = t;
        lo = std::min(lo, t);
        hi = std::max(hi, t);
    }
    EXPECT_GT(hi - lo, 1.0) << "it moves";
    EXPECT_LE(hi - lo, 2.01) << "within its range";
    fw.model<DhtModel>().set(-0.5, 99);
    EXPECT_EQ(ask(fw, DEV_TYPE_DHT, CMD_CONTROL, {3, 0, 0, 0}).payload, (Bytes{99, 0, 0x80, 5})) << "below zero";
    fw.model<DhtModel>().set(-12.3, 99);
    EXPECT_EQ(ask(fw, DEV_TYPE_DHT, CMD_CONTROL, {3, 0, 0, 0}).payload, (Bytes{99, 0, 0x8c, 3}));
    EXPECT_EQ(ask(fw, DEV_TYPE_DHT, CMD_CONTROL, {3, 0, 0, 0}).payload, (Bytes{99, 0, 0x8c, 3})) << "held";
    EXPECT_EQ(fw.model<DhtModel>().last_pin(), 3);

    EXPECT_EQ(ask(fw, DEV_TYPE_SR04, CMD_CONTROL, {1, 2, 3, 4}).payload.size(), 2u);
    EXPECT_EQ(ask(fw, DEV_TYPE_GP2Y, CMD_CONTROL, {1, 2, 3, 4}).payload.size(), 2u);
    EXPECT_EQ(ask(fw, DEV_TYPE_DS18B20, CMD_CONTROL, {1, 2, 3, 4}).payload.size(), 4u);
    const auto refused = ask(fw, DEV_TYPE_SR04, CMD_CONTROL, {1, 2});
    EXPECT_EQ(refused.status, STATUS_BAD_ARGUMENT);
    // A corrupted request is answered with the length a good one gets.
    EXPECT_EQ(ask(fw, DEV_TYPE_DS18B20, CMD_CONTROL, {1, 2, 3, 4}, true).status, STATUS_BAD_CRC);
}

TEST(SensorModels, StripTakesWholeColoursOnly)
{
    Firmware fw;
    EXPECT_EQ(ask(fw, DEV_TYPE_WS2812, CMD_WRITE, {2, 1, 1, 2, 3}).status, STATUS_DONE);
    auto &strip = fw.model<Ws2812Model>();
    ASSERT_EQ(strip.leds().size(), 2u);
    EXPECT_EQ(strip.leds()[1], (Ws2812Model::Colour{.r = 2, .g = 1, .b = 3}));
    for (const Bytes &bad : {Bytes{2}, Bytes{2, 0, 1}, Bytes{2, 255, 1, 2, 3, 4, 5, 6}})
        EXPECT_EQ(ask(fw, DEV_TYPE_WS2812, CMD_WRITE, bad).status, STATUS_BAD_ARGUMENT);
    EXPECT_EQ(strip.leds().size(), 2u) << "a refused write changes nothing";
    EXPECT_EQ(ask(fw, DEV_TYPE_WS2812, CMD_WRITE, {}).status, STATUS_DONE);
    fw.power_on();
    EXPECT_TRUE(strip.leds().empty());
}

TEST(SensorModels, BuzzerAnswersOnlyWhileClaimed)
{
    Firmware fw;
    EXPECT_EQ(ask(fw, DEV_TYPE_BUZZER, CMD_WRITE, {1}).status, STATUS_NOT_CLAIMED);
    EXPECT_EQ(ask(fw, DEV_TYPE_BUZZER, CMD_CLOSE, {1}).status, STATUS_NOT_CLAIMED);
    EXPECT_EQ(ask(fw, DEV_TYPE_BUZZER, CMD_OPEN, {1}).status, STATUS_DONE);
    EXPECT_EQ(ask(fw, DEV_TYPE_BUZZER, CMD_OPEN, {1}).status, STATUS_DONE);
    EXPECT_EQ(ask(fw, DEV_TYPE_BUZZER, CMD_WRITE, {1, 0xb8, 1, 0, 0}).status, STATUS_DONE);
    EXPECT_EQ(ask(fw, DEV_TYPE_BUZZER, CMD_READ, {0}).payload, Bytes{1});
    EXPECT_EQ(ask(fw, DEV_TYPE_BUZZER, CMD_CLOSE, {1}).status, STATUS_DONE);
    EXPECT_TRUE(fw.model<BuzzerModel>().sounding()) << "one claim is left";
    EXPECT_EQ(ask(fw, DEV_TYPE_BUZZER, CMD_CLOSE, {1}).status, STATUS_DONE);
    EXPECT_FALSE(fw.model<BuzzerModel>().sounding()) << "the last release silences it";
    ask(fw, DEV_TYPE_BUZZER, CMD_OPEN, {1});
    fw.power_on();
    EXPECT_EQ(fw.model<BuzzerModel>().claims(), 0u);
}

TEST(SensorModels, MotionBlockAndInfraredQueue)
{
    Firmware fw;
    EXPECT_EQ(ask(fw, DEV_TYPE_ICM20689, CMD_READ, {6}).payload, (Bytes{0, 0, 0, 0, 0x40, 0}));
    EXPECT_EQ(ask(fw, DEV_TYPE_ICM20689, CMD_READ, {0}).payload.size(), 0u);
    EXPECT_EQ(ask(fw, DEV_TYPE_ICM20689, CMD_READ, {20}).payload.size(), 20u);

    for (uint8_t i = 0; i < IrLink::kCapacity + 2; i++)
        EXPECT_EQ(ask(fw, DEV_TYPE_IR_SEND, CMD_CONTROL, {i, 0, 0, 0, 0, 0, 0, 0, 0, 0}).status, STATUS_DONE);
    EXPECT_EQ(fw.model<IrRecvModel>().link().lost, 2u);
    EXPECT_EQ(ask(fw, DEV_TYPE_IR_RECV, CMD_CONTROL, {0x2e, 0, 0, 0, 0, 0, 0, 0, 0, 0}).payload,
              Bytes{IrLink::kCapacity});
    EXPECT_EQ(ask(fw, DEV_TYPE_IR_RECV, CMD_CONTROL, {0x2f, 0, 0, 0, 0, 0, 0, 0, 0, 0}).payload, (Bytes{0, 0, 0, 0}))
        << "the oldest code first";
    EXPECT_EQ(ask(fw, DEV_TYPE_IR_SEND, CMD_READ, {6}).payload, (Bytes{17, 0, 0, 0, 0, 0})) << "the last sent";
    fw.power_on();
    EXPECT_EQ(ask(fw, DEV_TYPE_IR_RECV, CMD_CONTROL, {0x2f, 0, 0, 0, 0, 0, 0, 0, 0, 0}).payload, (Bytes{0, 0, 0, 0}))
        << "nothing waits after a reset";
}

} // namespace

TEST(SensorModels, ToneEndsWhenItsDurationHasPassed)
{
    Firmware fw;
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    fw.model<BuzzerModel>().set_clock([&] { return now; });
    ask(fw, DEV_TYPE_BUZZER, CMD_OPEN, {1});
    ASSERT_EQ(ask(fw, DEV_TYPE_BUZZER, CMD_WRITE, {1, 0xb8, 0x01, 0xfa, 0x00}).status, STATUS_DONE); // 250 ms
    now += std::chrono::milliseconds(249);
    EXPECT_EQ(ask(fw, DEV_TYPE_BUZZER, CMD_READ, {0}).payload, Bytes{1});
    now += std::chrono::milliseconds(151);
    EXPECT_EQ(ask(fw, DEV_TYPE_BUZZER, CMD_READ, {0}).payload, Bytes{0}) << "400 ms after a 250 ms tone";
    std::ostringstream shown;
    fw.model<BuzzerModel>().describe(shown);
    EXPECT_NE(shown.str().find("silent"), std::string::npos) << shown.str();
    // A duration of 0 sounds until told off.
    ask(fw, DEV_TYPE_BUZZER, CMD_WRITE, {1, 0xb8, 0x01, 0, 0});
    now += std::chrono::hours(1);
    EXPECT_TRUE(fw.model<BuzzerModel>().sounding());
}

TEST(SensorModels, ShownReadingIsTheOneHandedOut)
{
    Firmware fw;
    const auto a = ask(fw, DEV_TYPE_DHT, CMD_CONTROL, {3, 0, 0, 0});
    std::ostringstream shown;
    fw.model<DhtModel>().describe(shown);
    // The program got 45.0 % and 23.0 C; the sensor has drifted a step since.
    EXPECT_EQ(a.payload, (Bytes{45, 0, 23, 0}));
    EXPECT_NE(shown.str().find("the last reading gave 23.0 C, 45.0 %"), std::string::npos) << shown.str();
}
