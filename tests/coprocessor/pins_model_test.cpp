// The pins', PWM channels' and analog inputs' models, frame in, frame out.
#include "coproc/firmware.hpp"
#include "coproc/models/pins.hpp"

#include <gtest/gtest.h>

using namespace coproc;

namespace {

constexpr uint8_t kTail = 0x93;

// The reply's status and payload, after checking it is a well-formed answer
// of the length the module reads for the request.
Frame answer(Firmware &fw, uint8_t type, uint8_t cmd, Bytes payload)
{
    const Frame req = *decode(encode_request(type, cmd, payload, kTail));
    Answer a = fw.handle(req);
    EXPECT_TRUE(a.reply);
    if (!a.reply)
        return {};
    EXPECT_EQ(a.reply->size(), fw.reply_payload(req) + 5);
    Frame f = *decode(*a.reply);
    EXPECT_TRUE(f.crc_ok);
    EXPECT_EQ(f.tail, kTail);
    return f;
}

TEST(GpioModel, OutputsReadWhatTheyDriveInputsWhatIsPutOnThem)
{
    Firmware fw;
    auto &gpio = fw.model<GpioModel>();
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_OPEN, {5}).status, STATUS_DONE);
    EXPECT_TRUE(gpio.pin(5).open);
    gpio.set_input(5, 7);
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_READ, {5}).payload, Bytes{7});
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_WRITE, {5, 3, 1}).status, STATUS_NOT_OUTPUT) << "an input drives nothing";
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_WRITE, {5, 1, 1}).status, STATUS_DONE);
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_READ, {5}).payload, Bytes{1});
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_WRITE, {5, 3, 0}).status, STATUS_DONE);
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_READ, {5}).payload, Bytes{0});
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_WRITE, {5, 2, 0}).status, STATUS_DONE);
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_READ, {5}).payload, Bytes{7});
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_CLOSE, {5}).status, STATUS_DONE);
    EXPECT_FALSE(gpio.pin(5).open);
}

TEST(GpioModel, RefusalsAndPowerOn)
{
    Firmware fw;
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_OPEN, {48}).status, STATUS_PIN_RANGE);
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_WRITE, {1, 9, 0}).status, STATUS_BAD_ARGUMENT);
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_WRITE, {1}).status, STATUS_BAD_ARGUMENT);
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_REG_READ, {1}).status, STATUS_BAD_ARGUMENT);
    auto &gpio = fw.model<GpioModel>();
    gpio.set_input(3, 1);
    EXPECT_EQ(answer(fw, DEV_TYPE_GPIO, CMD_WRITE, {4, 1, 1}).status, STATUS_DONE);
    EXPECT_FALSE(fw.handle(*decode(encode_request(DEV_TYPE_CONFIG, CMD_CONTROL, Bytes{CTRL_RESET}, kTail))).reply);
    EXPECT_FALSE(gpio.pin(4).output) << "a restart makes every pin an input";
    EXPECT_EQ(gpio.level(3), 1) << "the outside world does not restart";
}

TEST(PwmModel, TakesWhatItCanMakeAndRefusesTheRest)
{
    Firmware fw;
    auto &pwm = fw.model<PwmModel>();
    EXPECT_EQ(answer(fw, DEV_TYPE_PWM, CMD_WRITE, {3, 0xF2, 0x90, 0xD0, 0x03, 0, 0x40, 0x42, 0x0F, 0}).status,
              STATUS_DONE);
    EXPECT_EQ(pwm.channel(3).duty_ns, 250000);
    EXPECT_EQ(pwm.channel(3).period_ns, 1000000);
    EXPECT_EQ(answer(fw, DEV_TYPE_PWM, CMD_WRITE, {3, 0xF2, 2, 0, 0, 0, 1, 0, 0, 0}).status, STATUS_BAD_ARGUMENT)
        << "duty above period";
    EXPECT_EQ(answer(fw, DEV_TYPE_PWM, CMD_WRITE, {3, 0xF2, 0, 0, 0, 0, 0, 0, 0, 0x80}).status, STATUS_BAD_ARGUMENT)
        << "a negative period";
    EXPECT_EQ(pwm.channel(3).period_ns, 1000000) << "a refusal changes nothing";
    EXPECT_EQ(answer(fw, DEV_TYPE_PWM, CMD_WRITE, {3, 0xF4, 1}).status, STATUS_DONE);
    EXPECT_EQ(answer(fw, DEV_TYPE_PWM, CMD_WRITE, {3, 0xF1, 1}).status, STATUS_DONE);
    EXPECT_TRUE(pwm.channel(3).enabled && pwm.channel(3).inversed);
    EXPECT_EQ(answer(fw, DEV_TYPE_PWM, CMD_WRITE, {3, 0xF4, 2}).status, STATUS_BAD_ARGUMENT);
    EXPECT_EQ(answer(fw, DEV_TYPE_PWM, CMD_OPEN, {32}).status, STATUS_PIN_RANGE);
}

TEST(AdcModel, RampsUntilASampleIsSetAndAnswersTwoBytesAlways)
{
    Firmware fw;
    auto &adc = fw.model<AdcModel>();
    const Bytes first = answer(fw, DEV_TYPE_ADC, CMD_READ, {2}).payload;
    const Bytes second = answer(fw, DEV_TYPE_ADC, CMD_READ, {2}).payload;
    ASSERT_EQ(first.size(), 2u);
    EXPECT_NE(first, second);
    adc.set_sample(2, 300);
    EXPECT_EQ(answer(fw, DEV_TYPE_ADC, CMD_READ, {2}).payload, (Bytes{0x01, 0x2C}));
    Frame refused = answer(fw, DEV_TYPE_ADC, CMD_READ, {10});
    EXPECT_EQ(refused.status, STATUS_PIN_RANGE);
    EXPECT_EQ(refused.payload.size(), 2u);
    EXPECT_EQ(answer(fw, DEV_TYPE_ADC, CMD_WRITE, {1}).payload.size(), 2u);
    fw.power_on();
    EXPECT_EQ(adc.sample(2), 300) << "a set sample belongs to the outside world";
    EXPECT_EQ(adc.reads(2), 0u);
}

} // namespace
