// SPDX-License-Identifier: GPL-2.0
/*
 * The SPI core. The module's masters are its own structures (4.4's
 * spi_master, with the queue in the kernel layer's record); standing each
 * for a 6.1 spi_controller, with its messages translated both ways, is not
 * done yet. Until it is, a master's allocation is refused with the glue's
 * "not translated" line, so a probe fails cleanly ("Failed to allocate SPI
 * master") and nothing is registered with the real SPI core.
 */
#include <linux/kernel.h>
#include <linux/module.h>

#include "qk.h"

struct qk_spi_master;
struct qk_spi_device;
struct qk_spi_board_info;

struct qk_spi_master *qk_spi_alloc_master(struct qk_device *host, unsigned int size);
int qk_spi_register_master(struct qk_spi_master *master);
void qk_spi_unregister_master(struct qk_spi_master *master);
struct qk_spi_master *qk_spi_busnum_to_master(u16 bus_num);
void qk_spi_master_put(struct qk_spi_master *master);
struct qk_spi_device *qk_spi_new_device(struct qk_spi_master *master, struct qk_spi_board_info *chip);
void qk_spi_finalize_current_message(struct qk_spi_master *master);

struct qk_spi_master *qk_spi_alloc_master(struct qk_device *host, unsigned int size)
{
	pr_err("quorvel: SPI master of %s: not translated for this kernel yet\n",
	       host && host->kobj.name ? host->kobj.name : "?");
	return NULL;
}

/* Never reached: no master is ever allocated. */
int qk_spi_register_master(struct qk_spi_master *master) { return -EOPNOTSUPP; }
void qk_spi_unregister_master(struct qk_spi_master *master) {}
struct qk_spi_master *qk_spi_busnum_to_master(u16 bus_num) { return NULL; }
void qk_spi_master_put(struct qk_spi_master *master) {}
struct qk_spi_device *qk_spi_new_device(struct qk_spi_master *master, struct qk_spi_board_info *chip) { return NULL; }
void qk_spi_finalize_current_message(struct qk_spi_master *master) {}
