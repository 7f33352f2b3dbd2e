#pragma once
// Request and reply frames on the control UART, and the exchange every driver
// uses to talk to the co-processor.
//
//   byte 0      head: 0x80 | device type
//   byte 1      length of the whole frame, (n + 5) mod 256; replies' is never read
//   byte 2      command << 4 | status (status 0 in requests; 0 = done in replies)
//   3 .. n+2    payload
//   n+3         CRC-8 (poly 0x07, init 0) of the payload only
//   n+4         tail: 0x80 | 6 random bits; a reply echoes its request's tail
#include <linux/types.h>

// Device types (low six bits of the head).
enum quorvel_dev_type : u8 {
	DEV_TYPE_I2C = 1,
	DEV_TYPE_SPI = 2,
	DEV_TYPE_UART = 3,
	DEV_TYPE_GPIO = 4,
	DEV_TYPE_PWM = 5,
	DEV_TYPE_ADC = 6,
	DEV_TYPE_WS2812 = 7,
	DEV_TYPE_SR04 = 8,
	DEV_TYPE_DHT = 9,
	DEV_TYPE_CONFIG = 10,
	DEV_TYPE_BUZZER = 11,
	DEV_TYPE_DS18B20 = 12,
	DEV_TYPE_IR_SEND = 13,
	DEV_TYPE_IR_RECV = 14,
	DEV_TYPE_ICM20689 = 15,
	DEV_TYPE_GP2Y = 16,
};

// Commands (high nibble of byte 2).
enum quorvel_cmd : u8 {
	CMD_OPEN = 1,
	CMD_WRITE = 2,
	CMD_READ = 3,
	CMD_CLOSE = 5,
	CMD_REG_READ = 6,
	CMD_CONTROL = 7,
	CMD_REG_WRITE = 8,
};

// First payload byte of the UART and CONFIG control requests.
constexpr u8 CTRL_SET_LINE = 0x10;
constexpr u8 CTRL_RX_COUNT = 0x11;
constexpr u8 CTRL_VERSION = 0x1E;
constexpr u8 CTRL_RESET = 0x1F;

constexpr size_t QUORVEL_FRAME_OVERHEAD = 5;
// The largest frame: a 251-byte payload is sent whole (its length byte wraps
// to 0), so a frame buffer needs 256 bytes, not 255.
constexpr size_t QUORVEL_FRAME_MAX = 251 + QUORVEL_FRAME_OVERHEAD;
static_assert(QUORVEL_FRAME_MAX == 256);

// Reply check results besides the co-processor's own status nibble.
constexpr int QUORVEL_REPLY_BAD_FRAME = -1; // head, tail or command differ
constexpr int QUORVEL_REPLY_BAD_CRC = -2;

u8 quorvel_crc8(const u8 *data, int data_len);
// Payload bytes a request of `len` carries: len, or 1 when len is 252 or more.
constexpr u8 quorvel_payload_len(u8 len) { return len >= 252 ? 1 : len; }
void protocol_default_init(u8 *frame, const u8 *data, u8 len, u8 type, u8 cmd, u8 num);
int anaysis_reply_data(const u8 *data, u8 len, u8 headType, u8 tailNum, u8 cmd);

// Makes the line's lock (uart_mutex) ready; at load, before the line opens.
void quorvel_exchange_init(void);
// Copies n bytes with the line held, between exchanges: for state that the
// exchanges' callers read and refresh (the pin-mode table).
void quorvel_link_copy(void *to, const void *from, size_t n);

// One exchange: frame the payload, write it and read `reply_len` bytes into
// `reply` (zeroed first) with the line held (uart_mutex, this layer's own), sleeping `sleep_ms` between write
// and read when it is not 0. The reply's check result: the status nibble
// (0 = done), QUORVEL_REPLY_BAD_FRAME or QUORVEL_REPLY_BAD_CRC.
struct quorvel_request {
	u8 type;
	u8 cmd;
	const u8 *payload;
	u8 len;
	unsigned int sleep_ms;
};
[[nodiscard]] int quorvel_exchange(const struct quorvel_request *req, u8 *reply, u8 reply_len);
// A request that gets no reply: the write's result (bytes written or a negative errno).
[[nodiscard]] ssize_t quorvel_send(const struct quorvel_request *req);
