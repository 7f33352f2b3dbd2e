// SMBus transactions as the I2C core hands them on: to the adapter's
// smbus_xfer under the bus lock, or, when it has none or answers
// -EOPNOTSUPP, emulated as one or two plain messages through i2c_transfer,
// as Linux 4.4 does. With I2C_CLIENT_PEC the emulation sends a PEC byte
// after a write and reads and checks one after a read (-EBADMSG when it is
// wrong), except for the quick command and I2C blocks, which have none.
#include <linux/compiler.h>
#include <linux/device.h>
#include <linux/errno.h>
#include <linux/i2c.h>
#include <linux/jiffies.h>
#include <linux/printk.h>

#include <cstring>

namespace {

// SMBus PEC: CRC-8 with the polynomial x^8 + x^2 + x + 1, no reflection,
// over the address byte of each message (the 7-bit address shifted, the
// read bit below it) and the bytes that message carries.
u8 pec_update(u8 crc, const u8 *p, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; bit++)
            crc = static_cast<u8>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

u8 msg_pec(u8 crc, const struct i2c_msg *msg)
{
    const u8 addr = static_cast<u8>((msg->addr << 1) | ((msg->flags & I2C_M_RD) ? 1 : 0));
    crc = pec_update(crc, &addr, 1);
    return pec_update(crc, msg->buf, msg->len);
}

// The read's last byte is the PEC: it is taken off the message, and checked
// against the PEC of the write before it (partial) and the read.
int check_pec(u8 partial, struct i2c_msg *msg)
{
    const u8 received = msg->buf[--msg->len];
    const u8 computed = msg_pec(partial, msg);
    if (received != computed) {
        pr_debug("i2c-core: Bad PEC 0x%02x vs. 0x%02x\n", received, computed);
        return -EBADMSG;
    }
    return 0;
}

s32 smbus_xfer_emulated(struct i2c_adapter *adap, u16 addr, unsigned short flags, char read_write, u8 command, int size,
                        union i2c_smbus_data *data)
{
    // Zeroed, unlike the kernel's: bytes a short reply left out read as 0.
    unsigned char msgbuf0[I2C_SMBUS_BLOCK_MAX + 3] = {};
    unsigned char msgbuf1[I2C_SMBUS_BLOCK_MAX + 2] = {};
    int num = read_write == I2C_SMBUS_READ ? 2 : 1;
    struct i2c_msg msg[2] = {
        {.addr = addr, .flags = flags, .len = 1, .buf = msgbuf0},
        {.addr = addr, .flags = static_cast<__u16>(flags | I2C_M_RD), .len = 0, .buf = msgbuf1},
    };

    msgbuf0[0] = command;
    switch (size) {
    case I2C_SMBUS_QUICK:
        msg[0].len = 0;
        // The read/write bit is the data.
        msg[0].flags = flags | (read_write == I2C_SMBUS_READ ? I2C_M_RD : 0);
        num = 1;
        break;
    case I2C_SMBUS_BYTE:
        if (read_write == I2C_SMBUS_READ) {
            msg[0].flags = I2C_M_RD | flags;
            num = 1;
        }
        break;
    case I2C_SMBUS_BYTE_DATA:
        if (read_write == I2C_SMBUS_READ) {
            msg[1].len = 1;
        } else {
            msg[0].len = 2;
            msgbuf0[1] = data->byte;
        }
        break;
    case I2C_SMBUS_WORD_DATA:
        if (read_write == I2C_SMBUS_READ) {
            msg[1].len = 2;
        } else {
            msg[0].len = 3;
            msgbuf0[1] = data->word & 0xff;
            msgbuf0[2] = data->word >> 8;
        }
        break;
    case I2C_SMBUS_PROC_CALL:
        num = 2;
        read_write = I2C_SMBUS_READ;
        msg[0].len = 3;
        msg[1].len = 2;
        msgbuf0[1] = data->word & 0xff;
        msgbuf0[2] = data->word >> 8;
        break;
    case I2C_SMBUS_BLOCK_DATA:
        if (read_write == I2C_SMBUS_READ) {
            msg[1].flags |= I2C_M_RECV_LEN;
            msg[1].len = 1; // the adapter adds the length it reads
        } else {
            msg[0].len = data->block[0] + 2;
            if (msg[0].len > I2C_SMBUS_BLOCK_MAX + 2) {
                dev_err(&adap->dev, "Invalid block write size %d\n", data->block[0]);
                return -EINVAL;
            }
            for (int i = 1; i < msg[0].len; i++)
                msgbuf0[i] = data->block[i - 1];
        }
        break;
    case I2C_SMBUS_BLOCK_PROC_CALL:
        num = 2;
        read_write = I2C_SMBUS_READ;
        if (data->block[0] > I2C_SMBUS_BLOCK_MAX) {
            dev_err(&adap->dev, "Invalid block write size %d\n", data->block[0]);
            return -EINVAL;
        }
        msg[0].len = data->block[0] + 2;
        for (int i = 1; i < msg[0].len; i++)
            msgbuf0[i] = data->block[i - 1];
        msg[1].flags |= I2C_M_RECV_LEN;
        msg[1].len = 1;
        break;
    case I2C_SMBUS_I2C_BLOCK_DATA:
        if (data->block[0] > I2C_SMBUS_BLOCK_MAX) {
            dev_err(&adap->dev, "Invalid block %s size %d\n", read_write == I2C_SMBUS_READ ? "read" : "write",
                    data->block[0]);
            return -EINVAL;
        }
        if (read_write == I2C_SMBUS_READ) {
            msg[1].len = data->block[0];
        } else {
            msg[0].len = data->block[0] + 1;
            for (int i = 1; i <= data->block[0]; i++)
                msgbuf0[i] = data->block[i];
        }
        break;
    default:
        dev_err(&adap->dev, "Unsupported transaction %d\n", size);
        return -EOPNOTSUPP;
    }

    const bool pec = (flags & I2C_CLIENT_PEC) && size != I2C_SMBUS_QUICK && size != I2C_SMBUS_I2C_BLOCK_DATA;
    u8 partial_pec = 0;
    if (pec) {
        // The buffers have room for the byte: a block is at most 32.
        if (!(msg[0].flags & I2C_M_RD)) {
            if (num == 1) {
                msgbuf0[msg[0].len] = msg_pec(0, &msg[0]);
                msg[0].len++;
            } else {
                partial_pec = msg_pec(0, &msg[0]);
            }
        }
        if (msg[num - 1].flags & I2C_M_RD)
            msg[num - 1].len++;
    }

    int status = i2c_transfer(adap, msg, num);
    if (status < 0)
        return status;
    if (pec && (msg[num - 1].flags & I2C_M_RD)) {
        status = check_pec(partial_pec, &msg[num - 1]);
        if (status < 0)
            return status;
    }
    if (read_write != I2C_SMBUS_READ)
        return 0;
    switch (size) {
    case I2C_SMBUS_BYTE:
        data->byte = msgbuf0[0];
        break;
    case I2C_SMBUS_BYTE_DATA:
        data->byte = msgbuf1[0];
        break;
    case I2C_SMBUS_WORD_DATA:
    case I2C_SMBUS_PROC_CALL:
        data->word = static_cast<__u16>(msgbuf1[0] | (msgbuf1[1] << 8));
        break;
    case I2C_SMBUS_I2C_BLOCK_DATA:
        std::memcpy(&data->block[1], msgbuf1, data->block[0]);
        break;
    case I2C_SMBUS_BLOCK_DATA:
    case I2C_SMBUS_BLOCK_PROC_CALL:
        // 4.4 trusts the adapter here; a length beyond the buffer is refused
        // as later kernels refuse it.
        if (msgbuf1[0] > I2C_SMBUS_BLOCK_MAX) {
            dev_err(&adap->dev, "Invalid block size returned: %d\n", msgbuf1[0]);
            return -EPROTO;
        }
        std::memcpy(data->block, msgbuf1, msgbuf1[0] + 1);
        break;
    }
    return 0;
}

s32 smbus_xfer_native(struct i2c_adapter *adap, u16 addr, unsigned short flags, char read_write, u8 command,
                      int protocol, union i2c_smbus_data *data)
{
    unsigned long orig_jiffies = jiffies;
    s32 res = 0;
    i2c_lock_adapter(adap);
    for (int attempt = 0; attempt <= READ_ONCE(adap->retries); attempt++) {
        res = adap->algo->smbus_xfer(adap, addr, flags, read_write, command, protocol, data);
        if (res != -EAGAIN)
            break;
        if (time_after(jiffies, orig_jiffies + READ_ONCE(adap->timeout)))
            break;
    }
    i2c_unlock_adapter(adap);
    return res;
}

s32 smbus_data(const struct i2c_client *client, char read_write, u8 command, int size, union i2c_smbus_data *data)
{
    return i2c_smbus_xfer(client->adapter, client->addr, client->flags, read_write, command, size, data);
}

} // namespace

extern "C" {

s32 i2c_smbus_xfer(struct i2c_adapter *adap, u16 addr, unsigned short flags, char read_write, u8 command, int protocol,
                   union i2c_smbus_data *data)
{
    flags &= I2C_M_TEN | I2C_CLIENT_PEC | I2C_CLIENT_SCCB;
    if (adap->algo->smbus_xfer) {
        s32 res = smbus_xfer_native(adap, addr, flags, read_write, command, protocol, data);
        if (res != -EOPNOTSUPP || !adap->algo->master_xfer)
            return res;
    }
    return smbus_xfer_emulated(adap, addr, flags, read_write, command, protocol, data);
}

s32 i2c_smbus_read_byte(const struct i2c_client *client)
{
    union i2c_smbus_data data;
    s32 status = smbus_data(client, I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, &data);
    return status < 0 ? status : data.byte;
}

s32 i2c_smbus_write_byte(const struct i2c_client *client, u8 value)
{
    return smbus_data(client, I2C_SMBUS_WRITE, value, I2C_SMBUS_BYTE, nullptr);
}

s32 i2c_smbus_read_byte_data(const struct i2c_client *client, u8 command)
{
    union i2c_smbus_data data;
    s32 status = smbus_data(client, I2C_SMBUS_READ, command, I2C_SMBUS_BYTE_DATA, &data);
    return status < 0 ? status : data.byte;
}

s32 i2c_smbus_write_byte_data(const struct i2c_client *client, u8 command, u8 value)
{
    union i2c_smbus_data data;
    data.byte = value;
    return smbus_data(client, I2C_SMBUS_WRITE, command, I2C_SMBUS_BYTE_DATA, &data);
}

s32 i2c_smbus_read_word_data(const struct i2c_client *client, u8 command)
{
    union i2c_smbus_data data;
    s32 status = smbus_data(client, I2C_SMBUS_READ, command, I2C_SMBUS_WORD_DATA, &data);
    return status < 0 ? status : data.word;
}

s32 i2c_smbus_write_word_data(const struct i2c_client *client, u8 command, u16 value)
{
    union i2c_smbus_data data;
    data.word = value;
    return smbus_data(client, I2C_SMBUS_WRITE, command, I2C_SMBUS_WORD_DATA, &data);
}

} // extern "C"
