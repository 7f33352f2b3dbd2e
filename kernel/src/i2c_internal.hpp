#pragma once
// What the I2C core and its user interface (i2c_dev.cpp) share: the core
// tells i2c-dev of each adapter it adds and before each it deletes, as the
// bus notifier does on Linux.
#include <linux/i2c.h>

namespace kern::i2c {

// Called after the adapter's device is added, and before it is deleted.
void dev_attach_adapter(struct i2c_adapter *adap);
void dev_detach_adapter(struct i2c_adapter *adap);

} // namespace kern::i2c
