#pragma once
// What the control line did, counted per device type, as a link driver keeps
// statistics for its developers: shown under /sys/kernel/debug/quorvel/, one
// directory per device type, one file per counter. Counting allocates nothing
// and changes no frame. Every update is made with uart_mutex held.
#include <linux/ktime.h>
#include <linux/types.h>

// The counters of one device type. Every request is counted once: in
// `exchanges` (and then once more in `ok` or one of the six reasons), `sent`
// or `unsent`. Every byte the co-processor sent is counted once, drained or
// received, by the type of the request during which the module took it.
struct quorvel_link_counters {
	u32 exchanges; // requests whose reply was read
	u32 sent;      // requests that get no reply (the reset)
	u32 unsent;    // requests the line did not take whole (it stayed full)
	u32 ok;	       // replies that passed their check with status 0
	u32 no_reply;  // not one byte of the reply came
	u32 bad_head;  // the first check that failed, in the order made
	u32 bad_tail;
	u32 bad_command;
	u32 bad_crc;
	u32 bad_status;	     // a well-formed reply with a status other than 0
	u32 timeouts;	     // replies a byte of which did not come in time
	u32 longest_wait_us; // longest time from the request's end to the reply's
	u64 drained;	     // stale bytes taken off the line before a request
	u64 received;	     // reply bytes read
};

// Makes the debugfs files; a failure leaves the module without them.
void quorvel_link_stats_init(void);
void quorvel_link_stats_exit(void);

// The outcome of one read reply: `frame` is the request, `got` the bytes
// that came, `result` the reply check's result and `started` when the wait
// began (after the request and the caller's sleep).
struct quorvel_reply_outcome {
	const u8 *frame;
	size_t frame_len;
	const u8 *reply;
	u8 reply_len;
	int got;
	int result;
	ktime_t started;
};
void quorvel_link_count_reply(const struct quorvel_reply_outcome *o);
void quorvel_link_count_sent(u8 head);
void quorvel_link_count_unsent(u8 head);
void quorvel_link_count_drained(u8 head, size_t bytes);
