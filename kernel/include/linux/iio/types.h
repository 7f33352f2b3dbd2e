#pragma once
// What kind of value an IIO channel carries, which of its values a driver
// offers, and how a value read from the driver is to be printed.

enum iio_chan_type {
	IIO_VOLTAGE,
	IIO_CURRENT,
	IIO_POWER,
	IIO_ACCEL,
	IIO_ANGL_VEL,
	IIO_MAGN,
	IIO_LIGHT,
	IIO_INTENSITY,
	IIO_PROXIMITY,
	IIO_TEMP,
};

// Bits of iio_chan_spec::info_mask_separate (BIT(IIO_CHAN_INFO_RAW)); the
// number is also the `mask` read_raw and write_raw are called with.
enum iio_chan_info_enum {
	IIO_CHAN_INFO_RAW = 0,
	IIO_CHAN_INFO_PROCESSED,
	IIO_CHAN_INFO_SCALE,
	IIO_CHAN_INFO_OFFSET,
};

// What read_raw returns on success: how val and val2 are printed.
#define IIO_VAL_INT		  1
#define IIO_VAL_INT_PLUS_MICRO	  2
#define IIO_VAL_INT_PLUS_NANO	  3
#define IIO_VAL_INT_PLUS_MICRO_DB 4
#define IIO_VAL_FRACTIONAL	  10
#define IIO_VAL_FRACTIONAL_LOG2	  11
