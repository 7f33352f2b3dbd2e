// The programs' header from C++ (and, linked in, from C): the same numbers
// and layouts through Linux's own ioctl macros as the module has through the
// kernel layer's.
#include <linux/quorvel.h>

#include <gtest/gtest.h>

extern "C" int quorvel_h_c_size(void);

TEST(UapiHeader, NumbersAndLayoutsAgreeBetweenCAndCpp)
{
    static_assert(DHT_IOCTL_CMD == 0x40044403 && IR_RECV_CMD == 0xc00a410b);
    static_assert(_IOC_DIR(IR_RECV_CMD) == (_IOC_READ | _IOC_WRITE) && _IOC_TYPE(SR04_READ_CMD) == 'S');
    EXPECT_EQ(quorvel_h_c_size(), static_cast<int>(sizeof(irData)));
    EXPECT_EQ(QUORVEL_GPIO_BASE + 5, 205);
}
