#pragma once
// tty ioctl numbers (generic Linux ABI).
#define TCGETS	    0x5401
#define TCSETS	    0x5402
#define TCSETSW	    0x5403
#define TCSETSF	    0x5404
#define TCFLSH	    0x540B
#define TIOCOUTQ    0x5411
#define FIONREAD    0x541B
#define TIOCINQ	    FIONREAD
#define TIOCGSERIAL 0x541E
#define TIOCSSERIAL 0x541F
