#pragma once
// tty ioctl numbers (generic Linux ABI).
#define TCGETS	    0x5401
#define TCSETS	    0x5402
#define TCSETSW	    0x5403
#define TCGETA	    0x5405
#define TCSETA	    0x5406
#define TCSETAW	    0x5407
#define TCSETAF	    0x5408
#define TCSETSF	    0x5404
#define TCSBRK	    0x5409
#define TCXONC	    0x540A
#define TCFLSH	    0x540B
#define TIOCEXCL    0x540C
#define TIOCNXCL    0x540D
#define TIOCSTI	    0x5412
#define TIOCGWINSZ  0x5413
#define TIOCSWINSZ  0x5414
#define TIOCMGET    0x5415
#define TIOCMBIS    0x5416
#define TIOCMBIC    0x5417
#define TIOCMSET    0x5418
#define TIOCOUTQ    0x5411
#define FIONREAD    0x541B
#define TIOCINQ	    FIONREAD
#define TIOCGSERIAL 0x541E
#define TIOCSSERIAL 0x541F
#define TIOCSETD    0x5423
#define TIOCGETD    0x5424
#define TCSBRKP	    0x5425
#define TIOCSBRK    0x5427
#define TIOCCBRK    0x5428
#define TIOCVHANGUP 0x5437
#define FIONBIO	    0x5421
#define FIONCLEX    0x5450
#define FIOCLEX	    0x5451
#define TCGETS2	    0x802C542A
#define TCSETS2	    0x402C542B
#define TCSETSW2    0x402C542C
#define TCSETSF2    0x402C542D

// Modem lines (TIOCMGET and friends).
#define TIOCM_DTR 0x002
#define TIOCM_RTS 0x004
#define TIOCM_CTS 0x020
#define TIOCM_CAR 0x040
#define TIOCM_RNG 0x080
#define TIOCM_DSR 0x100
