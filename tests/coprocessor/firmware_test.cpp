#include "coproc/firmware.hpp"
#include "coproc/models/uart.hpp"

#include <gtest/gtest.h>

using namespace coproc;

namespace {

constexpr uint8_t kTail = 0xA7;

Frame request(uint8_t type, uint8_t cmd, Bytes payload) { return *decode(encode_request(type, cmd, payload, kTail)); }

// The reply as the module would take it: checked framing, then the payload.
Frame reply_to(Firmware &fw, uint8_t type, uint8_t cmd, Bytes payload, size_t expect_len)
{
    const Frame req = request(type, cmd, std::move(payload));
    Answer a = fw.handle(req);
    EXPECT_TRUE(a.reply);
    if (!a.reply)
        return {};
    EXPECT_EQ(a.reply->size(), expect_len);
    EXPECT_EQ(a.reply->at(1), static_cast<uint8_t>(expect_len));
    Frame f = *decode(*a.reply);
    EXPECT_EQ(f.head, req.head);
    EXPECT_EQ(f.command, req.command);
    EXPECT_EQ(f.tail, kTail);
    EXPECT_TRUE(f.crc_ok);
    return f;
}

Frame read_table(Firmware &fw, size_t n)
{
    return reply_to(fw, DEV_TYPE_CONFIG, CMD_READ, Bytes{static_cast<uint8_t>(n + 1)}, n + 6);
}

Frame write_table(Firmware &fw, Bytes payload)
{
    return reply_to(fw, DEV_TYPE_CONFIG, CMD_WRITE, std::move(payload), 6);
}

} // namespace

TEST(FirmwareVersion, AnswersTheVersionBytesExactly)
{
    Firmware fw;
    Answer a = fw.handle(request(DEV_TYPE_CONFIG, CMD_CONTROL, Bytes{CTRL_VERSION}));
    ASSERT_TRUE(a.reply);
    EXPECT_EQ(*a.reply, (Bytes{0x8A, 0x07, 0x70, 0x01, 0x07, crc8(Bytes{0x01, 0x07}), kTail}));
    fw.set_version(0x02, 0x31);
    EXPECT_EQ(reply_to(fw, DEV_TYPE_CONFIG, CMD_CONTROL, Bytes{CTRL_VERSION}, 7).payload, (Bytes{0x02, 0x31}));
}

TEST(FirmwareTable, MarkerSaysInvalidUntilTheFirstWrite)
{
    Firmware fw;
    Frame r = read_table(fw, 48);
    EXPECT_EQ(r.status, STATUS_DONE);
    EXPECT_EQ(r.payload[48], kTableInvalidMarker);
    EXPECT_EQ(r.payload[0], 0);

    EXPECT_EQ(write_table(fw, Bytes{5, 0x01, 0x01}).status, STATUS_DONE);
    EXPECT_TRUE(fw.table_valid());
    r = read_table(fw, 48);
    EXPECT_EQ(r.payload[5], 0x01);
    EXPECT_EQ(r.payload[6], 0x01);
    EXPECT_EQ(r.payload[7], 0x00);
    EXPECT_EQ(r.payload[48], kTableValidMarker);
}

TEST(FirmwareTable, ShortReadsEndWithTheNextPinsMode)
{
    Firmware fw;
    ASSERT_EQ(write_table(fw, Bytes{0, 0x10, 0x20, 0x04, 0x08}).status, STATUS_DONE);
    EXPECT_EQ(read_table(fw, 3).payload, (Bytes{0x10, 0x20, 0x04, 0x08}));
    EXPECT_EQ(read_table(fw, 1).payload, (Bytes{0x10, 0x20}));
    // A length argument past the table is refused, still with the length asked.
    Frame bad = reply_to(fw, DEV_TYPE_CONFIG, CMD_READ, Bytes{50}, 55);
    EXPECT_EQ(bad.status, STATUS_BAD_ARGUMENT);
}

TEST(FirmwareTable, RefusedWritesChangeNothing)
{
    Firmware fw;
    EXPECT_EQ(write_table(fw, Bytes{46, 1, 1, 1}).status, STATUS_PIN_RANGE);
    EXPECT_EQ(write_table(fw, Bytes{49}).status, STATUS_PIN_RANGE);
    EXPECT_EQ(write_table(fw, Bytes{}).status, STATUS_BAD_ARGUMENT);
    EXPECT_EQ(fw.table(), PinTable{});
    EXPECT_FALSE(fw.table_valid());

    // A write naming no pin is accepted but says nothing about the table.
    EXPECT_EQ(write_table(fw, Bytes{3}).status, STATUS_DONE);
    EXPECT_FALSE(fw.table_valid());
    EXPECT_EQ(write_table(fw, Bytes{47, 0x20}).status, STATUS_DONE);
    EXPECT_EQ(fw.table()[47], 0x20);

    Bytes full(49, 0x01);
    full[0] = 0;
    EXPECT_EQ(write_table(fw, full).status, STATUS_DONE);
    EXPECT_EQ(fw.table()[0], 0x01);
}

TEST(FirmwareReset, NoReplyAndBackToPowerOn)
{
    Firmware fw;
    fw.set_version(3, 4);
    fw.set_boot_bytes(Bytes{'h', 'i'});
    ASSERT_EQ(write_table(fw, Bytes{0, 0x01}).status, STATUS_DONE);
    fw.feed_uart_rx(Bytes{1, 2, 3});

    Answer a = fw.handle(request(DEV_TYPE_CONFIG, CMD_CONTROL, Bytes{CTRL_RESET}));
    EXPECT_FALSE(a.reply);
    EXPECT_TRUE(a.restarted);
    EXPECT_EQ(a.boot_bytes, (Bytes{'h', 'i'}));
    EXPECT_EQ(fw.reset_count(), 1u);
    EXPECT_FALSE(fw.table_valid());
    EXPECT_EQ(fw.table(), PinTable{});
    EXPECT_EQ(fw.uart_rx_waiting(), 0u);
    EXPECT_EQ(fw.version(), (std::array<uint8_t, 2>{3, 4})); // the image survives
    EXPECT_EQ(read_table(fw, 48).payload[48], kTableInvalidMarker);
}

TEST(FirmwareUart, CountCapsAtOneByteAndReadsOldestFirst)
{
    Firmware fw;
    EXPECT_EQ(reply_to(fw, DEV_TYPE_UART, CMD_CONTROL, Bytes{CTRL_RX_COUNT}, 6).payload, Bytes{0});
    fw.feed_uart_rx(Bytes(300, 0x61));
    EXPECT_EQ(reply_to(fw, DEV_TYPE_UART, CMD_CONTROL, Bytes{CTRL_RX_COUNT}, 6).payload, Bytes{255});
    Frame r = reply_to(fw, DEV_TYPE_UART, CMD_READ, Bytes{241}, 246);
    EXPECT_EQ(r.payload[0], 240);
    EXPECT_EQ(fw.uart_rx_waiting(), 60u);

    Firmware fw2;
    fw2.feed_uart_rx(Bytes{'a', 'b', 'c'});
    EXPECT_EQ(reply_to(fw2, DEV_TYPE_UART, CMD_READ, Bytes{3}, 8).payload, (Bytes{2, 'a', 'b'}));
    EXPECT_EQ(reply_to(fw2, DEV_TYPE_UART, CMD_READ, Bytes{5}, 10).payload, (Bytes{1, 'c', 0, 0, 0}));
    EXPECT_EQ(reply_to(fw2, DEV_TYPE_UART, CMD_READ, Bytes{3}, 8).payload, (Bytes{0, 0, 0}));
}

TEST(FirmwareUart, ReceiveBufferDropsWhatDoesNotFit)
{
    Firmware fw;
    EXPECT_EQ(fw.feed_uart_rx(Bytes(kUartRxCapacity - 1, 0x20)), kUartRxCapacity - 1);
    EXPECT_EQ(fw.feed_uart_rx(Bytes{1, 2, 3}), 1u);
    EXPECT_EQ(fw.uart_rx_lost(), 2u);
}

TEST(FirmwareMalformed, BadCrcIsAnsweredWithStatusEAndNotActedOn)
{
    Firmware fw;
    Frame write = request(DEV_TYPE_CONFIG, CMD_WRITE, Bytes{0, 0x01, 0x01});
    write.crc ^= 1;
    write.crc_ok = false;
    Answer a = fw.handle(write);
    ASSERT_TRUE(a.reply);
    EXPECT_EQ(a.reply->size(), 6u);
    EXPECT_EQ((*a.reply)[2], 0x2E);
    EXPECT_FALSE(fw.table_valid());

    Frame version = request(DEV_TYPE_CONFIG, CMD_CONTROL, Bytes{CTRL_VERSION});
    version.crc_ok = false;
    EXPECT_EQ(fw.handle(version).reply->size(), 7u); // the length the module reads

    Frame reset = request(DEV_TYPE_CONFIG, CMD_CONTROL, Bytes{CTRL_RESET});
    reset.crc_ok = false;
    EXPECT_FALSE(fw.handle(reset).restarted);
    EXPECT_EQ(fw.reset_count(), 0u);
}

TEST(FirmwareOther, EveryOtherRequestGetsAPlainAcknowledgement)
{
    Firmware fw;
    for (uint8_t type : {DEV_TYPE_GPIO, DEV_TYPE_IR_RECV}) {
        Frame f = reply_to(fw, type, CMD_WRITE, Bytes{5, 1, 1}, 6);
        EXPECT_EQ(f.status, STATUS_DONE);
        EXPECT_EQ(f.payload, Bytes{0});
    }
    EXPECT_EQ(reply_to(fw, DEV_TYPE_UART, CMD_CONTROL, Bytes{CTRL_SET_LINE, 0x07}, 6).payload, Bytes{0});
}

namespace {

// A model that answers two bytes to reads and counts what reached it.
struct CountingModel : DeviceModel {
    unsigned handled = 0;
    unsigned resets = 0;
    uint8_t type() const override { return DEV_TYPE_GPIO; }
    size_t reply_payload(const Frame &req) const override { return req.command == CMD_READ ? 2 : 1; }
    Reply handle(const Frame &req) override
    {
        ++handled;
        return req.command == CMD_READ ? Reply{STATUS_DONE, Bytes{0x12, 0x34}} : Reply{};
    }
    void power_on() override { ++resets; }
};

} // namespace

TEST(FirmwareModels, ModelAnswersItsTypeAndFollowsResets)
{
    Firmware fw;
    auto owned = std::make_unique<CountingModel>();
    CountingModel &m = *owned;
    fw.add_model(std::move(owned));
    EXPECT_EQ(&fw.model<CountingModel>(), &m);

    const Frame read = reply_to(fw, DEV_TYPE_GPIO, CMD_READ, Bytes{0x05}, 7);
    EXPECT_EQ(read.payload, (Bytes{0x12, 0x34}));
    EXPECT_EQ(m.handled, 1u);

    // A corrupted request is not handed to the model, but still answered
    // with the length the model's reads have.
    Bytes raw = encode_request(DEV_TYPE_GPIO, CMD_READ, Bytes{0x05}, kTail);
    raw[raw.size() - 3] ^= 0xFF;
    const Frame bad = *decode(raw);
    const Answer answer = fw.handle(bad);
    EXPECT_EQ(m.handled, 1u);
    const Frame reply = *decode(*answer.reply);
    EXPECT_EQ(reply.status, STATUS_BAD_CRC);
    EXPECT_EQ(reply.payload.size(), 2u);

    EXPECT_FALSE(fw.handle(request(DEV_TYPE_CONFIG, CMD_CONTROL, Bytes{CTRL_RESET})).reply);
    EXPECT_EQ(m.resets, 1u);
}

namespace {

// The serial port's model: line settings recorded byte for byte, what the
// board wrote kept for the remote side, power-on forgetting the settings.
TEST(UartModel, LineSettingsAndWhatTheBoardSent)
{
    coproc::Firmware fw;
    auto &uart = fw.model<coproc::UartModel>();
    EXPECT_FALSE(uart.line().has_value());
    auto line = coproc::Frame{};
    line.head = 0x83;
    line.command = coproc::CMD_CONTROL;
    line.payload = coproc::Bytes{0x10, 5, 8, 0, 1, 1};
    line.crc_ok = true;
    line.tail = 0x81;
    auto a = fw.handle(line);
    ASSERT_TRUE(a.reply.has_value());
    EXPECT_EQ(a.reply->size(), 6u);
    ASSERT_TRUE(uart.line().has_value());
    EXPECT_EQ(uart.line()->baud_code, 5);
    EXPECT_EQ(uart.line()->data_bits, 8);
    line.payload = coproc::Bytes{0x10, 5};
    EXPECT_EQ((*fw.handle(line).reply)[2] & 0x0F, coproc::STATUS_BAD_ARGUMENT) << "a short settings payload";

    auto write = line;
    write.command = coproc::CMD_WRITE;
    write.payload = coproc::Bytes{'o', 'k'};
    (void)fw.handle(write);
    (void)fw.handle(write);
    EXPECT_EQ(uart.sent(), (coproc::Bytes{'o', 'k', 'o', 'k'}));
    EXPECT_EQ(uart.sent_total(), 4u);
    fw.power_on();
    EXPECT_FALSE(uart.line().has_value());
    EXPECT_EQ(uart.sent().size(), 4u) << "what went out stays readable";
}

} // namespace
