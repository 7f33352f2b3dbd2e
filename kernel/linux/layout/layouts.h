/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The structures whose layout the module and the real kernel (or the glue)
 * must agree on, field by field. layout.c (C, the kernel's headers and the
 * glue's mirrors) and layout_check.cpp (C++, the module's headers) both
 * expand these lists, so a structure or a field is named once, here.
 *
 * Each entry is S(id, glue-side type, module-side type, module-side header),
 * then F(id, field) for its fields, then E(id).
 *
 * QK_KERNEL_LAYOUTS: shared with the kernel, which reads or writes them as
 * its own. The glue-side type is the kernel's; the listed fields must sit at
 * the same offsets with the same sizes, and the sizes must agree (a work
 * item's may be larger: room for what lock debugging adds). Fields the
 * module does not name (the kernel's private ones) are not listed.
 *
 * QK_MIRROR_LAYOUTS: the module's own structures, which the glue reads and
 * writes through its mirrors in glue/qk.h. Every field is listed, in order:
 * a field added to the module's header and missing here or in the mirror
 * stops the build, naming the field it follows and the header to follow.
 */
#ifndef QUORVEL_LAYOUTS_H
#define QUORVEL_LAYOUTS_H

/* One structure to a line or two, as written. */
/* clang-format off */

#define QK_KERNEL_LAYOUTS(S, F, E)                                                                                   \
	S(list_head, struct list_head, struct list_head, "kernel/include/linux/list.h")                               \
	F(list_head, next) F(list_head, prev) E(list_head)                                                            \
	S(work_struct, struct work_struct, struct work_struct, "kernel/include/linux/workqueue.h")                    \
	F(work_struct, data) F(work_struct, entry) F(work_struct, func) E(work_struct)                                \
	S(kernel_param, struct kernel_param, struct kernel_param, "kernel/linux/include/linux/moduleparam.h")         \
	F(kernel_param, name) F(kernel_param, mod) F(kernel_param, ops) F(kernel_param, perm)                         \
	F(kernel_param, level) F(kernel_param, flags) F(kernel_param, arg) E(kernel_param)                            \
	S(kernel_param_ops, struct kernel_param_ops, struct kernel_param_ops,                                         \
	  "kernel/linux/include/linux/moduleparam.h")                                                                 \
	F(kernel_param_ops, flags) F(kernel_param_ops, set) F(kernel_param_ops, get) F(kernel_param_ops, free)        \
	E(kernel_param_ops)                                                                                           \
	S(poll_wqueues, struct poll_wqueues, struct poll_wqueues, "kernel/linux/include/linux/poll.h")                \
	F(poll_wqueues, pt) E(poll_wqueues)                                                                           \
	S(poll_table, poll_table, poll_table, "kernel/linux/include/linux/poll.h")                                    \
	F(poll_table, _qproc) F(poll_table, _key) E(poll_table)                                                       \
	S(termios, struct termios, struct termios, "kernel/include/linux/termios.h")                                  \
	F(termios, c_iflag) F(termios, c_oflag) F(termios, c_cflag) F(termios, c_lflag) F(termios, c_line)            \
	F(termios, c_cc) E(termios)                                                                                   \
	S(serial_struct, struct serial_struct, struct serial_struct, "kernel/include/linux/serial.h")                 \
	F(serial_struct, type) F(serial_struct, line) F(serial_struct, port) F(serial_struct, irq)                    \
	F(serial_struct, flags) F(serial_struct, baud_base) F(serial_struct, iomem_base) F(serial_struct, iomap_base) \
	E(serial_struct)                                                                                              \
	S(platform_device_id, struct platform_device_id, struct platform_device_id,                                  \
	  "kernel/include/linux/mod_devicetable.h")                                                                   \
	F(platform_device_id, name) F(platform_device_id, driver_data) E(platform_device_id)                          \
	S(i2c_msg, struct i2c_msg, struct i2c_msg, "kernel/include/linux/i2c.h")                                      \
	F(i2c_msg, addr) F(i2c_msg, flags) F(i2c_msg, len) F(i2c_msg, buf) E(i2c_msg)                                 \
	S(i2c_smbus_data, union i2c_smbus_data, union i2c_smbus_data, "kernel/include/linux/i2c.h")                   \
	F(i2c_smbus_data, byte) F(i2c_smbus_data, word) F(i2c_smbus_data, block) E(i2c_smbus_data)                           \
	S(__kfifo, struct __kfifo, struct __kfifo, "kernel/include/linux/kfifo.h")                                    \
	F(__kfifo, in) F(__kfifo, out) F(__kfifo, mask) F(__kfifo, esize) F(__kfifo, data) E(__kfifo)                 \
	S(ktermios, struct ktermios, struct ktermios, "kernel/include/linux/tty_driver.h")                            \
	F(ktermios, c_iflag) F(ktermios, c_oflag) F(ktermios, c_cflag) F(ktermios, c_lflag) F(ktermios, c_line)       \
	F(ktermios, c_cc) F(ktermios, c_ispeed) F(ktermios, c_ospeed) E(ktermios)

#define QK_MIRROR_LAYOUTS(S, F, E)                                                                                   \
	S(mutex, struct qk_mutex, struct mutex, "kernel/linux/include/linux/mutex.h")                                 \
	F(mutex, __room) F(mutex, name) F(mutex, __made) E(mutex)                                                   \
	S(spinlock, struct qk_spinlock, spinlock_t, "kernel/linux/include/linux/spinlock.h")                          \
	F(spinlock, __room) F(spinlock, name) F(spinlock, __made) E(spinlock)                                       \
	S(file_operations, struct qk_file_operations, struct file_operations, "kernel/include/linux/fs.h")            \
	F(file_operations, owner) F(file_operations, llseek) F(file_operations, read) F(file_operations, write)       \
	F(file_operations, poll) F(file_operations, unlocked_ioctl) F(file_operations, compat_ioctl)                  \
	F(file_operations, open) F(file_operations, flush) F(file_operations, release) E(file_operations)             \
	S(inode, struct qk_inode, struct inode, "kernel/include/linux/fs.h")                                          \
	F(inode, i_rdev) F(inode, i_mode) F(inode, i_cdev) F(inode, i_private) E(inode)                               \
	S(file, struct qk_file, struct file, "kernel/include/linux/fs.h")                                             \
	F(file, f_op) F(file, f_inode) F(file, f_flags) F(file, f_mode) F(file, f_pos) F(file, private_data)          \
	F(file, f_host) E(file)                                                                                       \
	S(kobject, struct qk_kobject, struct kobject, "kernel/include/linux/kobject.h")                               \
	F(kobject, name) F(kobject, parent) F(kobject, sd) E(kobject)                                                 \
	S(device, struct qk_device, struct device, "kernel/include/linux/device.h")                                   \
	F(device, parent) F(device, kobj) F(device, init_name) F(device, type) F(device, bus) F(device, driver)       \
	F(device, platform_data) F(device, driver_data) F(device, devt) F(device, id) F(device, klass)                \
	F(device, groups) F(device, release) F(device, kernel_private) E(device)                                      \
	S(device_driver, struct qk_device_driver, struct device_driver, "kernel/include/linux/device.h")              \
	F(device_driver, name) F(device_driver, bus) F(device_driver, owner) F(device_driver, suppress_bind_attrs)    \
	F(device_driver, probe) F(device_driver, remove) F(device_driver, shutdown) F(device_driver, groups)          \
	F(device_driver, kernel_private) E(device_driver)                                                             \
	S(device_class, struct qk_device_class, struct device_class, "kernel/include/linux/device.h")                 \
	F(device_class, name) F(device_class, owner) F(device_class, class_attrs) F(device_class, dev_groups)         \
	F(device_class, class_release) F(device_class, dev_release) F(device_class, kernel_private) E(device_class)   \
	S(platform_device, struct qk_platform_device, struct platform_device,                                         \
	  "kernel/include/linux/platform_device.h")                                                                   \
	F(platform_device, name) F(platform_device, id) F(platform_device, id_auto) F(platform_device, dev)           \
	F(platform_device, id_entry) E(platform_device)                                                               \
	S(platform_driver, struct qk_platform_driver, struct platform_driver,                                         \
	  "kernel/include/linux/platform_device.h")                                                                   \
	F(platform_driver, probe) F(platform_driver, remove) F(platform_driver, shutdown) F(platform_driver, driver)  \
	F(platform_driver, id_table) E(platform_driver)                                                               \
	S(mm_segment, struct qk_mm_segment, mm_segment_t, "kernel/include/linux/uaccess.h")                           \
	F(mm_segment, seg) E(mm_segment)                                                                              \
	S(attribute, struct qk_attribute, struct attribute, "kernel/include/linux/sysfs.h")                           \
	F(attribute, name) F(attribute, mode) E(attribute)                                                            \
	S(attribute_group, struct qk_attribute_group, struct attribute_group, "kernel/include/linux/sysfs.h")         \
	F(attribute_group, name) F(attribute_group, is_visible) F(attribute_group, attrs) E(attribute_group)          \
	S(device_attribute, struct qk_device_attribute, struct device_attribute, "kernel/include/linux/device.h")     \
	F(device_attribute, attr) F(device_attribute, show) F(device_attribute, store) E(device_attribute)            \
	S(gpio_chip, struct qk_gpio_chip, struct gpio_chip, "kernel/include/linux/gpio/driver.h")                     \
	F(gpio_chip, label) F(gpio_chip, parent) F(gpio_chip, owner) F(gpio_chip, request) F(gpio_chip, free)         \
	F(gpio_chip, get_direction) F(gpio_chip, direction_input) F(gpio_chip, direction_output) F(gpio_chip, get)    \
	F(gpio_chip, set) F(gpio_chip, set_multiple) F(gpio_chip, base) F(gpio_chip, ngpio) F(gpio_chip, names)       \
	F(gpio_chip, can_sleep) F(gpio_chip, desc) F(gpio_chip, cdev) F(gpio_chip, data) E(gpio_chip)                 \
	S(pwm_device, struct qk_pwm_device, struct pwm_device, "kernel/include/linux/pwm.h")                          \
	F(pwm_device, label) F(pwm_device, flags) F(pwm_device, hwpwm) F(pwm_device, pwm) F(pwm_device, chip)         \
	F(pwm_device, chip_data) F(pwm_device, lock) F(pwm_device, period) F(pwm_device, duty_cycle)                  \
	F(pwm_device, polarity) E(pwm_device)                                                                         \
	S(pwm_ops, struct qk_pwm_ops, struct pwm_ops, "kernel/include/linux/pwm.h")                                   \
	F(pwm_ops, request) F(pwm_ops, free) F(pwm_ops, config) F(pwm_ops, set_polarity) F(pwm_ops, enable)           \
	F(pwm_ops, disable) F(pwm_ops, owner) E(pwm_ops)                                                              \
	S(pwm_chip, struct qk_pwm_chip, struct pwm_chip, "kernel/include/linux/pwm.h")                                \
	F(pwm_chip, dev) F(pwm_chip, ops) F(pwm_chip, base) F(pwm_chip, npwm) F(pwm_chip, pwms)                       \
	F(pwm_chip, can_sleep) F(pwm_chip, kernel_private) E(pwm_chip)                                                \
	S(iio_chan_spec, struct qk_iio_chan_spec, struct iio_chan_spec, "kernel/include/linux/iio/iio.h")             \
	F(iio_chan_spec, type) F(iio_chan_spec, channel) F(iio_chan_spec, channel2) F(iio_chan_spec, address)         \
	F(iio_chan_spec, scan_index) F(iio_chan_spec, info_mask_separate) F(iio_chan_spec, extend_name)               \
	F(iio_chan_spec, datasheet_name) E(iio_chan_spec)                                                             \
	S(iio_info, struct qk_iio_info, struct iio_info, "kernel/include/linux/iio/iio.h")                            \
	F(iio_info, driver_module) F(iio_info, attrs) F(iio_info, read_raw) F(iio_info, write_raw) E(iio_info)        \
	S(iio_dev, struct qk_iio_dev, struct iio_dev, "kernel/include/linux/iio/iio.h")                               \
	F(iio_dev, id) F(iio_dev, modes) F(iio_dev, currentmode) F(iio_dev, dev) F(iio_dev, mlock)                    \
	F(iio_dev, channels) F(iio_dev, num_channels) F(iio_dev, name) F(iio_dev, info) F(iio_dev, kernel_private)    \
	E(iio_dev)                                                                                                    \
	S(cdev, struct qk_cdev, struct cdev, "kernel/include/linux/cdev.h")                                           \
	F(cdev, owner) F(cdev, ops) F(cdev, dev) F(cdev, count) F(cdev, kernel_private) E(cdev)                      \
	S(i2c_algorithm, struct qk_i2c_algorithm, struct i2c_algorithm, "kernel/include/linux/i2c.h")                 \
	F(i2c_algorithm, master_xfer) F(i2c_algorithm, smbus_xfer) F(i2c_algorithm, functionality)                    \
	E(i2c_algorithm)                                                                                              \
	S(i2c_adapter, struct qk_i2c_adapter, struct i2c_adapter, "kernel/include/linux/i2c.h")                       \
	F(i2c_adapter, owner) F(i2c_adapter, klass) F(i2c_adapter, algo) F(i2c_adapter, algo_data)                    \
	F(i2c_adapter, bus_lock) F(i2c_adapter, timeout) F(i2c_adapter, retries) F(i2c_adapter, dev)                  \
	F(i2c_adapter, nr) F(i2c_adapter, name) F(i2c_adapter, kernel_private) E(i2c_adapter)                         \
	S(i2c_client, struct qk_i2c_client, struct i2c_client, "kernel/include/linux/i2c.h")                          \
	F(i2c_client, flags) F(i2c_client, addr) F(i2c_client, name) F(i2c_client, adapter) F(i2c_client, dev)        \
	F(i2c_client, irq) E(i2c_client)                                                                              \
	S(i2c_board_info, struct qk_i2c_board_info, struct i2c_board_info, "kernel/include/linux/i2c.h")              \
	F(i2c_board_info, type) F(i2c_board_info, flags) F(i2c_board_info, addr) F(i2c_board_info, platform_data)     \
	F(i2c_board_info, irq) E(i2c_board_info)                                                                             \
	S(spi_device, struct qk_spi_device, struct spi_device, "kernel/include/linux/spi/spi.h")                      \
	F(spi_device, dev) F(spi_device, master) F(spi_device, max_speed_hz) F(spi_device, chip_select)               \
	F(spi_device, bits_per_word) F(spi_device, mode) F(spi_device, irq) F(spi_device, controller_state)           \
	F(spi_device, controller_data) F(spi_device, modalias) F(spi_device, cs_gpio) E(spi_device)                   \
	S(spi_master, struct qk_spi_master, struct spi_master, "kernel/include/linux/spi/spi.h")                      \
	F(spi_master, dev) F(spi_master, bus_num) F(spi_master, num_chipselect) F(spi_master, mode_bits)              \
	F(spi_master, bits_per_word_mask) F(spi_master, min_speed_hz) F(spi_master, max_speed_hz)                     \
	F(spi_master, flags) F(spi_master, setup) F(spi_master, transfer) F(spi_master, cleanup)                      \
	F(spi_master, transfer_one_message) F(spi_master, cur_msg) F(spi_master, queued)                              \
	F(spi_master, kernel_private) E(spi_master)                                                                   \
	S(spi_transfer, struct qk_spi_transfer, struct spi_transfer, "kernel/include/linux/spi/spi.h")                \
	F(spi_transfer, tx_buf) F(spi_transfer, rx_buf) F(spi_transfer, len) F(spi_transfer, cs_change)               \
	F(spi_transfer, tx_nbits) F(spi_transfer, rx_nbits) F(spi_transfer, bits_per_word)                            \
	F(spi_transfer, delay_usecs) F(spi_transfer, speed_hz) F(spi_transfer, transfer_list) E(spi_transfer)         \
	S(spi_message, struct qk_spi_message, struct spi_message, "kernel/include/linux/spi/spi.h")                   \
	F(spi_message, transfers) F(spi_message, spi) F(spi_message, is_dma_mapped) F(spi_message, complete)          \
	F(spi_message, context) F(spi_message, frame_length) F(spi_message, actual_length) F(spi_message, status)     \
	F(spi_message, queue) F(spi_message, state) E(spi_message)                                                    \
	S(spi_board_info, struct qk_spi_board_info, struct spi_board_info, "kernel/include/linux/spi/spi.h")          \
	F(spi_board_info, modalias) F(spi_board_info, platform_data) F(spi_board_info, controller_data)               \
	F(spi_board_info, irq) F(spi_board_info, max_speed_hz) F(spi_board_info, bus_num)                             \
	F(spi_board_info, chip_select) F(spi_board_info, mode) E(spi_board_info)                                      \
	S(tty_operations, struct qk_tty_operations, struct tty_operations, "kernel/include/linux/tty_driver.h")       \
	F(tty_operations, lookup) F(tty_operations, install) F(tty_operations, remove) F(tty_operations, open)        \
	F(tty_operations, close) F(tty_operations, shutdown) F(tty_operations, cleanup) F(tty_operations, write)      \
	F(tty_operations, put_char) F(tty_operations, flush_chars) F(tty_operations, write_room)                      \
	F(tty_operations, chars_in_buffer) F(tty_operations, ioctl) F(tty_operations, compat_ioctl)                   \
	F(tty_operations, set_termios) F(tty_operations, throttle) F(tty_operations, unthrottle)                      \
	F(tty_operations, stop) F(tty_operations, start) F(tty_operations, hangup) F(tty_operations, break_ctl)       \
	F(tty_operations, flush_buffer) F(tty_operations, set_ldisc) F(tty_operations, wait_until_sent)               \
	F(tty_operations, send_xchar) F(tty_operations, tiocmget) F(tty_operations, tiocmset) E(tty_operations)       \
	S(tty_driver, struct qk_tty_driver, struct tty_driver, "kernel/include/linux/tty_driver.h")                   \
	F(tty_driver, magic) F(tty_driver, kref) F(tty_driver, owner) F(tty_driver, driver_name) F(tty_driver, name)  \
	F(tty_driver, name_base) F(tty_driver, major) F(tty_driver, minor_start) F(tty_driver, num)                   \
	F(tty_driver, type) F(tty_driver, subtype) F(tty_driver, init_termios) F(tty_driver, flags)                   \
	F(tty_driver, ttys) F(tty_driver, ports) F(tty_driver, termios) F(tty_driver, driver_state)                   \
	F(tty_driver, ops) F(tty_driver, tty_drivers) F(tty_driver, kernel_private) E(tty_driver)                     \
	S(tty_port_operations, struct qk_tty_port_operations, struct tty_port_operations,                             \
	  "kernel/include/linux/tty.h")                                                                               \
	F(tty_port_operations, carrier_raised) F(tty_port_operations, dtr_rts) F(tty_port_operations, shutdown)       \
	F(tty_port_operations, activate) F(tty_port_operations, destruct) E(tty_port_operations)                      \
	S(tty_bufhead, struct qk_tty_bufhead, struct tty_bufhead, "kernel/include/linux/tty.h")                       \
	F(tty_bufhead, kernel_private) E(tty_bufhead)                                                                 \
	S(tty_port, struct qk_tty_port, struct tty_port, "kernel/include/linux/tty.h")                                \
	F(tty_port, buf) F(tty_port, tty) F(tty_port, itty) F(tty_port, ops) F(tty_port, lock)                        \
	F(tty_port, blocked_open) F(tty_port, count) F(tty_port, open_wait) F(tty_port, delta_msr_wait)               \
	F(tty_port, flags) F(tty_port, mutex) F(tty_port, buf_mutex) F(tty_port, xmit_buf)                            \
	F(tty_port, close_delay) F(tty_port, closing_wait) F(tty_port, drain_delay) F(tty_port, kref) E(tty_port)     \
	S(tty_struct, struct qk_tty_struct, struct tty_struct, "kernel/include/linux/tty.h")                          \
	F(tty_struct, magic) F(tty_struct, kref) F(tty_struct, dev) F(tty_struct, driver) F(tty_struct, ops)          \
	F(tty_struct, index) F(tty_struct, termios_rwsem) F(tty_struct, termios) F(tty_struct, termios_locked)        \
	F(tty_struct, name) F(tty_struct, flags) F(tty_struct, count) F(tty_struct, receive_room)                     \
	F(tty_struct, link) F(tty_struct, write_wait) F(tty_struct, read_wait) F(tty_struct, disc_data)               \
	F(tty_struct, driver_data) F(tty_struct, port) F(tty_struct, kernel_private) E(tty_struct)

/* clang-format on */

#endif
