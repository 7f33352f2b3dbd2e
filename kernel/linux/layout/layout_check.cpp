// The module's view of the kernel's structures and of the glue's mirrors,
// checked against the kernel the module is built for: quorvel_layout.h comes
// from the kernel's headers and the mirrors in kernel/linux/glue/qk.h, for
// every structure and field that layouts.h lists. Compiled with the module's
// own flags and headers, as one of its objects; it holds no code.
//
// Each message names what to bring in step: the structure's header in
// kernel/include (or kernel/linux/include), the glue's mirror, and the list.
#include <linux/atomic.h>
#include <linux/cdev.h>
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/gpio/driver.h>
#include <linux/i2c.h>
#include <linux/iio/iio.h>
#include <linux/kfifo.h>
#include <linux/kobject.h>
#include <linux/mod_devicetable.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/poll.h>
#include <linux/pwm.h>
#include <linux/serial.h>
#include <linux/slab.h>
#include <linux/spi/spi.h>
#include <linux/spinlock.h>
#include <linux/sysfs.h>
#include <linux/termios.h>
#include <linux/tty.h>
#include <linux/tty_driver.h>
#include <linux/uaccess.h>
#include <linux/workqueue.h>

#include <quorvel_layout.h>

#include "layouts.h"

namespace qk_layout {

// A field as the module's headers lay it out.
struct field {
	const char *name;
	size_t offset, size, align;
};

constexpr bool same_name(const char *a, const char *b)
{
	while (*a && *a == *b)
		a++, b++;
	return *a == *b;
}

// Whether the field named `name` starts where the listed field before it
// ends (after the padding its alignment asks for): no field is left out
// between the two.
template <size_t N> constexpr bool follows_previous(const field (&fields)[N], const char *name)
{
	size_t i = 0;

	while (!same_name(fields[i].name, name))
		i++;
	if (i == 0)
		return fields[0].offset == 0;
	size_t end = fields[i - 1].offset + fields[i - 1].size;
	return fields[i].offset == (end + fields[i].align - 1) / fields[i].align * fields[i].align;
}

// The number of fields of a structure, as aggregate initialisation counts
// them (a structure inside counts once).
struct any {
	template <typename T> constexpr operator T &() const;
	template <typename T> constexpr operator T &&() const;
};
template <typename T, typename... A> consteval size_t members()
{
	if constexpr (requires { T{ A{}..., any{} }; })
		return members<T, A..., any>();
	else
		return sizeof...(A);
}

// Structures whose fields aggregate initialisation cannot count, or that
// have fields offsetof cannot name: an anonymous union (gpio_chip's 4.4 and
// 4.5 names for the parent device) stops the count, and bit-fields
// (iio_chan_spec's indexed and output) cannot be listed. Their listed fields'
// order, offsets and sizes and their whole size are still checked, which
// catches any field added before, between or after them.
template <typename T> constexpr bool countable = true;
template <> constexpr bool countable<struct gpio_chip> = false;
template <> constexpr bool countable<struct iio_chan_spec> = false;
// Character arrays (the I2C names) are counted byte by byte by brace elision.
template <> constexpr bool countable<struct i2c_adapter> = false;
template <> constexpr bool countable<struct i2c_client> = false;
template <> constexpr bool countable<struct i2c_board_info> = false;
// The tty's and the port's flag bits (stopped..., console...) are bit-fields.
template <> constexpr bool countable<struct tty_port> = false;
template <> constexpr bool countable<struct tty_struct> = false;
// The listed fields that follow those bit-fields, which cannot follow a
// listed field; their offsets against the mirror are still checked.
constexpr bool after_bits(const char *id, const char *name)
{
	return (same_name(id, "tty_port") && same_name(name, "mutex")) ||
	       (same_name(id, "tty_struct") && same_name(name, "receive_room"));
}
// What one field counts for in that initialisation: an array's elements are
// initialised one by one (braces elided), a structure's as one.
template <typename F> struct slots {
	static constexpr size_t n = 1;
};
template <typename F, size_t N> struct slots<F[N]> {
	static constexpr size_t n = N * slots<F>::n;
};

// Structures the kernel's lock debugging makes larger after their listed
// fields: the module's leaves room for that (a work item's lockdep map).
template <typename T> constexpr bool roomy = false;
template <> constexpr bool roomy<struct work_struct> = true;

} // namespace qk_layout

// Each structure's fields as the module sees them, in a namespace of its own.
#define ARRAY_S(id, glue_type, module_type, header)                                                                    \
	namespace qk_layout_##id                                                                                       \
	{                                                                                                              \
		using T = module_type;                                                                                 \
		constexpr qk_layout::field fields[] = {
#define ARRAY_F(id, m) { #m, __builtin_offsetof(T, m), sizeof(T::m), alignof(decltype(T::m)) },
#define ARRAY_E(id)                                                                                                    \
	}                                                                                                              \
	;                                                                                                              \
	}
QK_KERNEL_LAYOUTS(ARRAY_S, ARRAY_F, ARRAY_E)
QK_MIRROR_LAYOUTS(ARRAY_S, ARRAY_F, ARRAY_E)

// How many fields each mirrored structure lists.
#define COUNT_S(id, glue_type, module_type, header) constexpr size_t qk_listed_##id = 0
#define COUNT_F(id, m)				    +qk_layout::slots<decltype(qk_layout_##id::T::m)>::n
#define COUNT_E(id)				    ;
QK_MIRROR_LAYOUTS(COUNT_S, COUNT_F, COUNT_E)

// Shared with the kernel: the kernel's layout, for the fields the module names.
#define KERNEL_S(id, kernel_type, module_type, header)                                                                 \
	static_assert(qk_layout::roomy<module_type> ? sizeof(module_type) >= KERNEL_SIZEOF_##id                        \
						    : sizeof(module_type) == KERNEL_SIZEOF_##id,                       \
		      #module_type " (" header ") differs in size from the kernel's " #kernel_type);                   \
	static_assert(alignof(module_type) >= KERNEL_ALIGNOF_##id,                                                     \
		      #module_type " (" header ") is less aligned than the kernel's " #kernel_type);
#define KERNEL_F(id, m)                                                                                                \
	static_assert(__builtin_offsetof(qk_layout_##id::T, m) == KERNEL_OFF_##id##_##m,                               \
		      #id "." #m ": the offset differs from the kernel's (see layouts.h for the header)");             \
	static_assert(sizeof(qk_layout_##id::T::m) == KERNEL_FSIZE_##id##_##m,                                         \
		      #id "." #m ": the size differs from the kernel's (see layouts.h for the header)");
#define NONE(id)
QK_KERNEL_LAYOUTS(KERNEL_S, KERNEL_F, NONE)

// The module's own, which the glue reads through its mirrors: every field
// listed, in order, each where the mirror has it.
#define MIRROR_S(id, mirror_type, module_type, header)                                                                 \
	static_assert(!qk_layout::countable<module_type> || qk_layout::members<module_type>() == qk_listed_##id,       \
		      #module_type " (" header                                                                         \
				   ") has fields that kernel/linux/layout/layouts.h does not list: mirror "            \
				   "them in " #mirror_type " (kernel/linux/glue/qk.h) and list them there");           \
	static_assert(sizeof(module_type) == MIRROR_SIZEOF_##id,                                                       \
		      #module_type " (" header ") differs in size from the glue's " #mirror_type                       \
				   " (kernel/linux/glue/qk.h): bring the mirror and layouts.h in step");
#define MIRROR_F(id, m)                                                                                                \
	static_assert(qk_layout::after_bits(#id, #m) || qk_layout::follows_previous(qk_layout_##id::fields, #m),       \
		      "a field of " #id " before " #m " is not listed in kernel/linux/layout/layouts.h (nor mirrored " \
		      "in kernel/linux/glue/qk.h)");                                                                   \
	static_assert(__builtin_offsetof(qk_layout_##id::T, m) == MIRROR_OFF_##id##_##m,                               \
		      #id "." #m ": the offset differs from the glue's mirror (kernel/linux/glue/qk.h)");              \
	static_assert(sizeof(qk_layout_##id::T::m) == MIRROR_FSIZE_##id##_##m,                                         \
		      #id "." #m ": the size differs from the glue's mirror (kernel/linux/glue/qk.h)");
QK_MIRROR_LAYOUTS(MIRROR_S, MIRROR_F, NONE)

static_assert(NCCS == KERNEL_NCCS);
static_assert(GFP_KERNEL == MIRROR_GFP_KERNEL && GFP_ATOMIC == MIRROR_GFP_ATOMIC && __GFP_ZERO == MIRROR_GFP_ZERO,
	      "the allocation flags (kernel/include/linux/slab.h) differ from the glue's (kernel/linux/glue/qk.h)");
static_assert(WORK_CPU_UNBOUND == MIRROR_WORK_CPU_UNBOUND,
	      "WORK_CPU_UNBOUND (kernel/include/linux/workqueue.h) differs from the glue's (kernel/linux/glue/qk.h)");
static_assert(sizeof(dev_t) == 8, "the glue reads the module's device numbers as 64 bits");
static_assert(sizeof(atomic_t) == 4);
