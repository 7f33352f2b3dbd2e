// Files opened from kernel space, and reads and writes on them.
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/uaccess.h>

#include "fault_inject.hpp"

#include "serial_line.hpp"

#include <cstring>

extern "C" {

// A file without a position: lseek, pread and pwrite on it are refused with
// -ESPIPE before the driver is asked.
int nonseekable_open(struct inode *, struct file *filp)
{
    filp->f_mode &= ~(FMODE_LSEEK | FMODE_PREAD | FMODE_PWRITE);
    return 0;
}

struct file *filp_open(const char *filename, int flags, umode_t mode)
{
    if (kern::should_fail("filp_open"))
        return ERR_PTR<struct file>(-ENOMEM);
    if (std::strcmp(filename, kern::serial::board_path) == 0)
        return kern::serial::open(flags);
    return ERR_PTR<struct file>(-ENOENT);
}

int filp_close(struct file *filp, fl_owner_t id)
{
    if (IS_ERR_OR_NULL(filp))
        return -EBADF;
    if (filp->f_op && filp->f_op->release)
        return filp->f_op->release(filp->f_inode, filp);
    return 0;
}

int kernel_read(struct file *file, loff_t offset, char *addr, unsigned long count)
{
    if (!file->f_op || !file->f_op->read)
        return -EINVAL;
    mm_segment_t old = get_fs();
    set_fs(KERNEL_DS);
    loff_t pos = offset;
    ssize_t n = file->f_op->read(file, addr, count, &pos);
    set_fs(old);
    return static_cast<int>(n);
}

ssize_t kernel_write(struct file *file, const char *buf, size_t count, loff_t pos)
{
    if (!file->f_op || !file->f_op->write)
        return -EINVAL;
    mm_segment_t old = get_fs();
    set_fs(KERNEL_DS);
    ssize_t n = file->f_op->write(file, buf, count, &pos);
    set_fs(old);
    return n;
}

} // extern "C"
