// The frame routines and the exchange, driven directly against the simulated
// co-processor: every check result under the fault that causes it, and the
// bounded wait of a silent line.
#include "core/quorvel_linux_fw.h"
#include "link/quorvel_control_uart.h"
#include "link/quorvel_link_stats.h"
#include "link/quorvel_protocol.h"

#include <linux/sched.h>

#include <coproc/simulator.hpp>
#include <khost/kernel.hpp>
#include <khost/serial.hpp>
#include <khost/sleeps.hpp>

#include <gtest/gtest.h>
#include <link_stats.hpp>
#include <tty_input.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using coproc::FaultKind;

TEST(Frame, Crc8)
{
    const char *check = "123456789";
    EXPECT_EQ(quorvel_crc8(reinterpret_cast<const u8 *>(check), 9), 0xF4);
    const u8 one = 0x11;
    EXPECT_EQ(quorvel_crc8(&one, 1), 0x77);
    EXPECT_EQ(quorvel_crc8(nullptr, 0), 0x00);
}

TEST(Frame, BuildKnownRequests)
{
    u8 frame[QUORVEL_FRAME_MAX];
    const u8 count = CTRL_RX_COUNT, version = CTRL_VERSION, reset = CTRL_RESET;
    protocol_default_init(frame, &count, 1, DEV_TYPE_UART, CMD_CONTROL, 0xFF);
    EXPECT_EQ(std::vector<u8>(frame, frame + 6), (std::vector<u8>{0x83, 0x06, 0x70, 0x11, 0x77, 0xBF}));
    protocol_default_init(frame, &version, 1, DEV_TYPE_CONFIG, CMD_CONTROL, 0x40);
    EXPECT_EQ(std::vector<u8>(frame, frame + 6), (std::vector<u8>{0x8A, 0x06, 0x70, 0x1E, 0x5A, 0x80}));
    protocol_default_init(frame, &reset, 1, DEV_TYPE_CONFIG, CMD_CONTROL, 0x01);
    EXPECT_EQ(std::vector<u8>(frame, frame + 6), (std::vector<u8>{0x8A, 0x06, 0x70, 0x1F, 0x5D, 0x81}));
}

TEST(Frame, PayloadLengthRule)
{
    u8 data[255];
    for (int i = 0; i < 255; i++)
        data[i] = static_cast<u8>(i + 1);
    u8 frame[QUORVEL_FRAME_MAX + 8];

    protocol_default_init(frame, data, 0, DEV_TYPE_GPIO, CMD_READ, 0);
    EXPECT_EQ(std::vector<u8>(frame, frame + 5), (std::vector<u8>{0x84, 0x05, 0x30, 0x00, 0x80}));
    for (int len : {252, 253, 254, 255}) {
        protocol_default_init(frame, data, static_cast<u8>(len), DEV_TYPE_SPI, CMD_WRITE, 0);
        EXPECT_EQ(frame[1], 6) << len;
        EXPECT_EQ(frame[3], 1) << len;
        EXPECT_EQ(frame[4], quorvel_crc8(data, 1)) << len;
    }
    protocol_default_init(frame, data, static_cast<u8>(260), DEV_TYPE_SPI, CMD_WRITE, 0);
    EXPECT_EQ(frame[1], 9) << "260 is cut to 4";
    protocol_default_init(frame, data, 251, DEV_TYPE_SPI, CMD_WRITE, 0x3F);
    EXPECT_EQ(frame[1], 0) << "251 + 5 wraps";
    EXPECT_EQ(frame[255], 0xBF);
}

TEST(Frame, ReplyCheckOrder)
{
    u8 reply[7] = {0x8A, 0x07, 0x70, 0x01, 0x07, 0, 0x95};
    reply[5] = quorvel_crc8(&reply[3], 2);
    EXPECT_EQ(anaysis_reply_data(reply, 7, 0x8A, 0x95, 0x70), 0);
    u8 zeros[7] = {};
    EXPECT_EQ(anaysis_reply_data(zeros, 7, 0x8A, 0x95, 0x70), -1);
    EXPECT_EQ(anaysis_reply_data(reply, 7, 0x83, 0x95, 0x70), -1) << "type 3 asked, type 10 answered";
    EXPECT_EQ(anaysis_reply_data(reply, 7, 0x8A, 0x96, 0x70), -1);
    EXPECT_EQ(anaysis_reply_data(reply, 7, 0x8A, 0x95, 0x30), -1);
    reply[5] ^= 1;
    EXPECT_EQ(anaysis_reply_data(reply, 7, 0x8A, 0x95, 0x70), -2) << "status 0 does not hide a bad CRC";
    reply[5] ^= 1;
    reply[2] = 0x75;
    EXPECT_EQ(anaysis_reply_data(reply, 7, 0x8A, 0x95, 0x70), 5);
    reply[1] = 0x33;
    EXPECT_EQ(anaysis_reply_data(reply, 7, 0x8A, 0x95, 0x70), 5) << "the length byte is not examined";
}

// The control UART opened on a simulated co-processor, as the module does
// at load, with the kernel ticking at `hz`.
template <unsigned hz> class OnTheLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        khost::boot({sim_.tty_path(), hz, 7});
        quorvel_exchange_init();
        quorvel_control_uart_init();
        quorvel_link_stats_init();
        ASSERT_FALSE(IS_ERR_OR_NULL(filp));
    }
    void TearDown() override
    {
        quorvel_link_stats_exit();
        quorvel_control_uart_exit();
        khost::halt();
    }

    coproc::Simulator sim_;
};

class Exchange : public OnTheLine<1000> {
protected:
    int version(u8 *reply)
    {
        const u8 sub = CTRL_VERSION;
        quorvel_request req = {.type = DEV_TYPE_CONFIG, .cmd = CMD_CONTROL, .payload = &sub, .len = 1, .sleep_ms = 0};
        return quorvel_exchange(&req, reply, 7);
    }
};

TEST_F(Exchange, EachFaultGivesItsCheckResult)
{
    u8 reply[7];
    EXPECT_EQ(version(reply), 0);
    EXPECT_EQ(reply[3], 0x01);
    EXPECT_EQ(reply[4], 0x07);

    const struct {
        coproc::Fault fault;
        int result;
    } cases[] = {
        {{FaultKind::WrongHead}, -1}, {{FaultKind::WrongTail}, -1}, {{FaultKind::WrongCommand}, -1},
        {{FaultKind::BadCrc}, -2},    {{FaultKind::Status, 5}, 5},  {{FaultKind::ShortReply, 2}, -1},
        {{FaultKind::NoReply}, -1},   {{FaultKind::Delay, 20}, 0},
    };
    for (const auto &c : cases) {
        sim_.inject(c.fault);
        EXPECT_EQ(version(reply), c.result) << "fault " << static_cast<int>(c.fault.kind);
    }
    EXPECT_EQ(version(reply), 0) << "the line is in step again";
}

// Every reply is counted once, under the first check it failed; every byte
// the co-processor sent is counted once, as drained or as received.
TEST_F(Exchange, StatisticsCountEachOutcomeOnce)
{
    u8 reply[7];
    const FaultKind kinds[] = {FaultKind::WrongHead, FaultKind::WrongTail,  FaultKind::WrongCommand, FaultKind::BadCrc,
                               FaultKind::Status,    FaultKind::ShortReply, FaultKind::NoReply};
    EXPECT_EQ(version(reply), 0);
    for (FaultKind kind : kinds) {
        sim_.inject({kind, kind == FaultKind::Status ? 5u : kind == FaultKind::ShortReply ? 2u : 0u});
        EXPECT_NE(version(reply), 0);
    }
    sim_.send_unsolicited(coproc::Bytes(70, 0x55));
    ASSERT_TRUE(qtest::wait_for_input(sim_.tty_path(), 70));
    EXPECT_EQ(version(reply), 0);

    auto c = qtest::link_stats("config");
    EXPECT_EQ(c["exchanges"], 9u);
    EXPECT_EQ(c["ok"], 2u);
    EXPECT_EQ(c["bad_head"], 1u);
    EXPECT_EQ(c["bad_tail"], 2u) << "the short reply's zeros fail at the tail";
    EXPECT_EQ(c["bad_command"], 1u);
    EXPECT_EQ(c["bad_crc"], 1u);
    EXPECT_EQ(c["bad_status"], 1u);
    EXPECT_EQ(c["no_reply"], 1u);
    EXPECT_EQ(c["timeouts"], 2u);
    EXPECT_EQ(c["sent"], 0u);
    EXPECT_EQ(c["received"], 7u * 7u + 5u);
    EXPECT_EQ(c["drained"], 70u);
    EXPECT_EQ(c["received"] + c["drained"], sim_.bytes_sent());
    EXPECT_GT(c["longest_wait_us"], 0u);
    EXPECT_EQ(qtest::link_stats("gpio")["exchanges"], 0u) << "counted by the request's type";
}

// An unsolicited flood is taken whole by the next request's drain, however
// long; the request itself goes out unchanged.
TEST_F(Exchange, AFloodOfStaleBytesIsDrainedWhole)
{
    u8 reply[7];
    for (size_t flood : {50u, 53u, 1000u, 4000u}) {
        sim_.clear_log();
        sim_.send_unsolicited(coproc::Bytes(flood, 0x55));
        ASSERT_TRUE(qtest::wait_for_input(sim_.tty_path(), static_cast<int>(flood)));
        EXPECT_EQ(version(reply), 0) << flood << " stale bytes";
        EXPECT_EQ(reply[3], 0x01);
        const auto reqs = sim_.requests();
        ASSERT_EQ(reqs.size(), 1u);
        EXPECT_EQ(reqs[0].raw.size(), 6u) << "the request's frame is as before";
        EXPECT_TRUE(reqs[0].crc_ok);
    }
    EXPECT_EQ(qtest::link_stats("config")["drained"], 50u + 53u + 1000u + 4000u);
}

TEST_F(Exchange, StaleBytesBeforeTheReplySpoilIt)
{
    u8 reply[7];
    sim_.inject({FaultKind::StaleBytes, 2});
    EXPECT_EQ(version(reply), -1);
}

// The waits are counted by the kernel layer, not timed: a loaded machine
// changes how long they take, not how many there are.
TEST_F(Exchange, SilentLineCostsOneBoundedWait)
{
    u8 reply[7];
    sim_.set_silent(true);
    const auto before = khost::sleeps_of_current();
    EXPECT_EQ(version(reply), -1);
    const auto waits = khost::sleeps_of_current() - before;
    // One wait of at most 100 ticks for the first byte, not one per missing
    // byte, however late the caller came to it.
    EXPECT_EQ(waits.sleeps, 1u) << "one wait, not one per byte";
    EXPECT_EQ(waits.timeouts, waits.sleeps) << "nothing ends the wait early on a silent line";
    EXPECT_LE(waits.ticks, 100u);
    for (u8 b : reply)
        EXPECT_EQ(b, 0);
}

// A wake that finds the line still silent (the line's transmit side shares
// the wait; a busy machine wakes a task late) does not give the reply up:
// the wait runs on to its 100 ticks.
TEST_F(Exchange, AWakeWithNothingToReadKeepsWaitingForTheReply)
{
    u8 reply[7];
    sim_.inject({FaultKind::Delay, 40});
    struct task_struct *caller = get_current();
    std::atomic<bool> done{false};
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        while (!done.load()) {
            wake_up_process(caller);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const int got = version(reply);
    done = true;
    waker.join();
    EXPECT_EQ(got, 0);
    EXPECT_EQ(reply[4], 0x07);
}

TEST_F(Exchange, ShortReplyWaitsOnceForTheFirstMissingByte)
{
    u8 reply[7];
    sim_.inject({FaultKind::ShortReply, 2});
    const auto before = khost::sleeps_of_current();
    EXPECT_EQ(version(reply), -1);
    const auto waits = khost::sleeps_of_current() - before;
    EXPECT_LE(waits.timeouts, 1u) << "one wait runs out, not two";
    EXPECT_EQ(reply[0], 0x8A);
    EXPECT_EQ(reply[4], 0x07);
    EXPECT_EQ(reply[5], 0);
    EXPECT_EQ(reply[6], 0);
}

TEST_F(Exchange, WholeReplyRunsOutNoWait)
{
    u8 reply[7];
    const auto before = khost::sleeps_of_current();
    EXPECT_EQ(version(reply), 0);
    const auto waits = khost::sleeps_of_current() - before;
    EXPECT_EQ(waits.timeouts, 0u) << "every wait ended with a byte";
}

TEST_F(Exchange, LargestFrameFitsItsBuffer)
{
    u8 payload[251];
    for (int i = 0; i < 251; i++)
        payload[i] = static_cast<u8>(i);
    quorvel_request req = {.type = DEV_TYPE_SPI, .cmd = CMD_WRITE, .payload = payload, .len = 251, .sleep_ms = 0};
    EXPECT_EQ(quorvel_send(&req), 256);
    ASSERT_TRUE(sim_.wait_for_requests(1, std::chrono::seconds(2)));
    auto got = sim_.requests().back();
    EXPECT_EQ(got.raw.size(), 256u);
    EXPECT_EQ(got.frame.length, 0) << "251 + 5 wraps to 0";
    EXPECT_TRUE(got.crc_ok);
    EXPECT_EQ(got.frame.payload.size(), 251u);
}

TEST_F(Exchange, ReadOfNothingTouchesNothing)
{
    khost::serial_trace_take();
    u8 byte = 0xAB;
    EXPECT_EQ(quorvel_control_uart_read(&byte, 0), 0);
    EXPECT_EQ(byte, 0xAB);
    EXPECT_TRUE(khost::serial_trace_take().empty());
}

// A co-processor that stops taking bytes for a while (busy with a slow
// request) fills the line: the requests that follow wait for room and go out
// whole, none cut short. One that stays away longer than the wait leaves
// requests unsent, which the call and the statistics tell.
class ExchangeOnAFullLine : public OnTheLine<100> { // a 1 s wait for room
protected:
    // The largest request, sent while the co-processor takes `ms` over the
    // one before it, taking no bytes meanwhile.
    void stall(unsigned ms)
    {
        const size_t before = sim_.request_count();
        sim_.inject({coproc::FaultKind::Delay, ms});
        EXPECT_EQ(send(), 256);
        EXPECT_TRUE(sim_.wait_for_requests(before + 1, std::chrono::seconds(2)));
    }
    ssize_t send()
    {
        static u8 payload[251];
        const quorvel_request big = {
            .type = DEV_TYPE_SPI, .cmd = CMD_WRITE, .payload = payload, .len = 251, .sleep_ms = 0};
        return quorvel_send(&big);
    }
};

TEST_F(ExchangeOnAFullLine, RequestsWaitForRoomAndAreCountedWhenRefused)
{
    stall(400); // far more than the host tty holds goes out meanwhile
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(send(), 256) << "request " << i;
    EXPECT_TRUE(sim_.wait_for_requests(101, std::chrono::seconds(5)));
    EXPECT_EQ(sim_.dropped_bytes(), 0u);
    EXPECT_EQ(sim_.bad_crc_count(), 0u);
    EXPECT_GT(khost::serial_health().short_writes, 0u) << "the line was full at some point";

    stall(5000);
    int refused = 0;
    for (int i = 0; i < 100 && refused == 0; i++)
        refused += send() != 256;
    EXPECT_EQ(refused, 1);
    auto c = qtest::link_stats("spi");
    EXPECT_EQ(c["unsent"], 1u);
    EXPECT_GE(c["sent"], 102u);
}

TEST(ExchangeWithoutLine, FailedOpenIsNeverUsed)
{
    khost::boot({"/nonexistent/tty", 1000, 1});
    quorvel_exchange_init();
    quorvel_control_uart_init();
    EXPECT_TRUE(IS_ERR(filp));
    u8 reply[6] = {1, 2, 3, 4, 5, 6};
    const auto before = khost::sleeps_of_current();
    EXPECT_EQ(quorvel_control_uart_read(reply, 6), 0);
    EXPECT_EQ((khost::sleeps_of_current() - before).sleeps, 0u) << "no byte's wait at all";
    u8 frame[6] = {0x8A, 0x06, 0x70, 0x1F, 0x5D, 0x80};
    EXPECT_EQ(quorvel_control_uart_write(frame, 6), -ENODEV);
    quorvel_control_uart_exit();
    EXPECT_EQ(filp, nullptr);
    khost::halt();
}

} // namespace
