// The control line's statistics and their debugfs files.
#include <linux/debugfs.h>
#include <linux/err.h>
#include <linux/kernel.h>
#include <linux/string.h>

#include "link/quorvel_link_stats.h"
#include "link/quorvel_protocol.h"

namespace {

constexpr u8 QUORVEL_TYPE_COUNT = DEV_TYPE_GP2Y + 1;
constexpr umode_t QUORVEL_STATS_MODE = 0444;

// Directory names, by device type; 0 has none.
const char *const quorvel_type_names[QUORVEL_TYPE_COUNT] = {
	nullptr, "i2c",	   "spi",    "uart",	"gpio",	   "pwm",     "adc",	  "ws2812", "sr04",
	"dht",	 "config", "buzzer", "ds18b20", "ir_send", "ir_recv", "icm20689", "gp2y",
};

struct quorvel_link_counters quorvel_link_stats[QUORVEL_TYPE_COUNT];
struct dentry *quorvel_debug_dir;

// A frame's device type, or 0 for a head the module never sends.
u8 quorvel_stats_index(u8 head)
{
	u8 type = head & 0x3F;

	return type < QUORVEL_TYPE_COUNT ? type : 0;
}

// Only the lock holder writes; the debugfs files read without the lock.
void quorvel_bump(u32 *counter) { WRITE_ONCE(*counter, READ_ONCE(*counter) + 1); }

// Which check the reply failed first, in the order the check makes them.
u32 *quorvel_reason(struct quorvel_link_counters *c, const struct quorvel_reply_outcome *o)
{
	const u8 *r = o->reply;
	const u8 *f = o->frame;

	if (o->got <= 0)
		return &c->no_reply;
	if (o->result == 0)
		return &c->ok;
	if (o->result > 0)
		return &c->bad_status;
	if (o->reply_len < QUORVEL_FRAME_OVERHEAD || r[0] != f[0])
		return &c->bad_head;
	if (r[o->reply_len - 1] != f[o->frame_len - 1])
		return &c->bad_tail;
	if ((r[2] & 0xF0) != (f[2] & 0xF0))
		return &c->bad_command;
	return &c->bad_crc;
}

struct quorvel_stats_file {
	const char *name;
	size_t offset;
	bool wide;
};

#define QUORVEL_U32_FILE(field)                                                                                        \
	{                                                                                                              \
#field, __builtin_offsetof(struct quorvel_link_counters, field), false                                 \
	}
const struct quorvel_stats_file quorvel_stats_files[] = {
	QUORVEL_U32_FILE(exchanges),
	QUORVEL_U32_FILE(sent),
	QUORVEL_U32_FILE(unsent),
	QUORVEL_U32_FILE(ok),
	QUORVEL_U32_FILE(no_reply),
	QUORVEL_U32_FILE(bad_head),
	QUORVEL_U32_FILE(bad_tail),
	QUORVEL_U32_FILE(bad_command),
	QUORVEL_U32_FILE(bad_crc),
	QUORVEL_U32_FILE(bad_status),
	QUORVEL_U32_FILE(timeouts),
	QUORVEL_U32_FILE(longest_wait_us),
	{ "drained", __builtin_offsetof(struct quorvel_link_counters, drained), true },
	{ "received", __builtin_offsetof(struct quorvel_link_counters, received), true },
};
#undef QUORVEL_U32_FILE

void quorvel_stats_type_files(struct dentry *dir, struct quorvel_link_counters *c)
{
	char *base = reinterpret_cast<char *>(c);

	for (const struct quorvel_stats_file &f : quorvel_stats_files) {
		if (f.wide)
			(void)debugfs_create_u64(f.name, QUORVEL_STATS_MODE, dir,
						 reinterpret_cast<u64 *>(base + f.offset));
		else
			(void)debugfs_create_u32(f.name, QUORVEL_STATS_MODE, dir,
						 reinterpret_cast<u32 *>(base + f.offset));
	}
}

} // namespace

void quorvel_link_stats_init(void)
{
	memset(quorvel_link_stats, 0, sizeof(quorvel_link_stats));
	quorvel_debug_dir = debugfs_create_dir("quorvel", nullptr);
	if (IS_ERR_OR_NULL(quorvel_debug_dir)) {
		quorvel_debug_dir = nullptr;
		return;
	}
	for (u8 type = 1; type < QUORVEL_TYPE_COUNT; type++) {
		struct dentry *dir = debugfs_create_dir(quorvel_type_names[type], quorvel_debug_dir);
		if (!IS_ERR_OR_NULL(dir))
			quorvel_stats_type_files(dir, &quorvel_link_stats[type]);
	}
}

void quorvel_link_stats_exit(void)
{
	debugfs_remove_recursive(quorvel_debug_dir);
	quorvel_debug_dir = nullptr;
}

void quorvel_link_count_reply(const struct quorvel_reply_outcome *o)
{
	struct quorvel_link_counters *c = &quorvel_link_stats[quorvel_stats_index(o->frame[0])];
	s64 wait_us = ktime_to_us(ktime_sub(ktime_get(), o->started));

	quorvel_bump(&c->exchanges);
	quorvel_bump(quorvel_reason(c, o));
	if (o->got > 0)
		WRITE_ONCE(c->received, READ_ONCE(c->received) + static_cast<u64>(o->got));
	if (o->got < o->reply_len)
		quorvel_bump(&c->timeouts);
	if (wait_us > static_cast<s64>(READ_ONCE(c->longest_wait_us)))
		WRITE_ONCE(c->longest_wait_us, static_cast<u32>(min<s64>(wait_us, 0xFFFFFFFF)));
}

void quorvel_link_count_sent(u8 head) { quorvel_bump(&quorvel_link_stats[quorvel_stats_index(head)].sent); }

void quorvel_link_count_unsent(u8 head) { quorvel_bump(&quorvel_link_stats[quorvel_stats_index(head)].unsent); }

void quorvel_link_count_drained(u8 head, size_t bytes)
{
	u64 *drained = &quorvel_link_stats[quorvel_stats_index(head)].drained;

	if (bytes)
		WRITE_ONCE(*drained, READ_ONCE(*drained) + bytes);
}
