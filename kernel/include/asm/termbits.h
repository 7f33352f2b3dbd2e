#pragma once
// The kernel's struct termios and its flags (generic Linux ABI, as on arm64
// and x86-64). TCGETS and TCSETS carry this layout.
typedef unsigned char cc_t;
typedef unsigned int speed_t;
typedef unsigned int tcflag_t;

#define NCCS 19
struct termios {
	tcflag_t c_iflag;
	tcflag_t c_oflag;
	tcflag_t c_cflag;
	tcflag_t c_lflag;
	cc_t c_line;
	cc_t c_cc[NCCS];
};

#define VINTR	 0
#define VQUIT	 1
#define VERASE	 2
#define VKILL	 3
#define VEOF	 4
#define VTIME	 5
#define VMIN	 6

#define IGNBRK	 0000001
#define BRKINT	 0000002
#define ICRNL	 0000400
#define IXON	 0002000
#define OPOST	 0000001
#define ONLCR	 0000004

#define CBAUD	 0010017
#define B0	 0000000
#define B9600	 0000015
#define B19200	 0000016
#define B38400	 0000017
#define CBAUDEX	 0010000
#define B57600	 0010001
#define B115200	 0010002
#define B230400	 0010003
#define B460800	 0010004
#define B500000	 0010005
#define B576000	 0010006
#define B921600	 0010007
#define B1000000 0010010
#define B1152000 0010011
#define B1500000 0010012
#define B2000000 0010013
#define B2500000 0010014
#define B3000000 0010015
#define B3500000 0010016
#define B4000000 0010017
#define CSIZE	 0000060
#define CS5	 0000000
#define CS6	 0000020
#define CS7	 0000040
#define CS8	 0000060
#define CSTOPB	 0000100
#define CREAD	 0000200
#define PARENB	 0000400
#define PARODD	 0001000
#define HUPCL	 0002000
#define CLOCAL	 0004000
#define CRTSCTS	 020000000000

#define ISIG	 0000001
#define ICANON	 0000002
#define ECHO	 0000010
#define ECHOE	 0000020
#define ECHOK	 0000040
#define ECHONL	 0000100
#define IEXTEN	 0100000

/* TCFLSH's argument */
#define TCIFLUSH  0
#define TCOFLUSH  1
#define TCIOFLUSH 2
