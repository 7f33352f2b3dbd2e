// Frame building, reply checking, and the one exchange routine through which
// every driver talks to the co-processor.
#include <linux/cleanup.h>
#include <linux/delay.h>
#include <linux/kernel.h>
#include <linux/ktime.h>
#include <linux/mutex.h>
#include <linux/random.h>

#include "link/quorvel_control_uart.h"
#include "link/quorvel_link_stats.h"
#include "link/quorvel_protocol.h"

// Bitwise, without a table: frames are short and this keeps the module small.
u8 quorvel_crc8(const u8 *data, int data_len)
{
	const u8 crc_poly = 0x07;
	u8 crc = 0x00;

	for (int i = 0; i < data_len; i++) {
		crc ^= data[i];
		for (int bit = 0; bit < 8; bit++)
			crc = (crc & 0x80) ? static_cast<u8>((crc << 1) ^ crc_poly) : static_cast<u8>(crc << 1);
	}
	return crc;
}

// The frame buffer must hold quorvel_payload_len(len) + 5 bytes.
void protocol_default_init(u8 *frame, const u8 *data, u8 len, u8 type, u8 cmd, u8 num)
{
	u8 n = quorvel_payload_len(len);

	frame[0] = 0x80 | (type & 0x3F);
	frame[1] = static_cast<u8>(n + QUORVEL_FRAME_OVERHEAD);
	frame[2] = static_cast<u8>((cmd & 0x0F) << 4);
	memcpy(&frame[3], data, n);
	frame[n + 3] = quorvel_crc8(data, n);
	frame[n + 4] = 0x80 | (num & 0x3F);
}

// The tests stop at the first that fails; the reply's length byte is never read.
// A reply without payload (5 bytes, an empty read's) is judged like any other.
int anaysis_reply_data(const u8 *data, u8 len, u8 headType, u8 tailNum, u8 cmd)
{
	if (len < QUORVEL_FRAME_OVERHEAD)
		return QUORVEL_REPLY_BAD_FRAME;
	if (data[0] != headType)
		return QUORVEL_REPLY_BAD_FRAME;
	if (data[len - 1] != tailNum)
		return QUORVEL_REPLY_BAD_FRAME;
	if ((data[2] & 0xF0) != (cmd & 0xF0))
		return QUORVEL_REPLY_BAD_FRAME;
	if (quorvel_crc8(&data[3], len - 5) != data[len - 2])
		return QUORVEL_REPLY_BAD_CRC;
	return data[2] & 0x0F;
}

namespace {

// The line's lock: serialises every exchange with the co-processor and is
// held for exactly one (the drain, the write, the pause, the read and the
// reply's count). Only this file takes it; everything else reaches the line
// through the exchange.
struct mutex uart_mutex;

// Builds the request in `frame`; its length in bytes.
size_t quorvel_build(const struct quorvel_request *req, u8 *frame)
{
	u8 num = static_cast<u8>(prandom_u32());

	protocol_default_init(frame, req->payload, req->len, req->type, req->cmd, num);
	return quorvel_payload_len(req->len) + QUORVEL_FRAME_OVERHEAD;
}

} // namespace

void quorvel_exchange_init(void) { mutex_init(&uart_mutex); }

void quorvel_link_copy(void *to, const void *from, size_t n)
{
	guard(mutex)(&uart_mutex);
	memcpy(to, from, n);
}

int quorvel_exchange(const struct quorvel_request *req, u8 *reply, u8 reply_len)
{
	u8 tx_buf[QUORVEL_FRAME_MAX] = {};
	size_t n = quorvel_build(req, tx_buf);
	struct quorvel_reply_outcome outcome = {
		.frame = tx_buf, .frame_len = n, .reply = reply, .reply_len = reply_len
	};

	memset(reply, 0, reply_len);
	guard(mutex)(&uart_mutex);
	// A request the line did not take whole gets no reply: the call fails
	// without waiting for one.
	if (quorvel_control_uart_write(tx_buf, n) != static_cast<ssize_t>(n)) {
		quorvel_link_count_unsent(tx_buf[0]);
		return QUORVEL_REPLY_BAD_FRAME;
	}
	if (req->sleep_ms)
		msleep(req->sleep_ms);
	// A short read leaves zeros behind, which the check below refuses.
	outcome.started = ktime_get();
	outcome.got = quorvel_control_uart_read(reply, reply_len);
	outcome.result = anaysis_reply_data(reply, reply_len, tx_buf[0], tx_buf[n - 1], tx_buf[2]);
	quorvel_link_count_reply(&outcome);
	return outcome.result;
}

ssize_t quorvel_send(const struct quorvel_request *req)
{
	u8 tx_buf[QUORVEL_FRAME_MAX] = {};
	size_t n = quorvel_build(req, tx_buf);

	guard(mutex)(&uart_mutex);
	ssize_t ret = quorvel_control_uart_write(tx_buf, n);
	if (ret == static_cast<ssize_t>(n))
		quorvel_link_count_sent(tx_buf[0]);
	else
		quorvel_link_count_unsent(tx_buf[0]);
	return ret;
}
