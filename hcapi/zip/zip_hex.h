// Firmware images in Intel HEX, file names and writes, and decimal texts.
//
// A HEX file is untrusted: every record is checked (":" start, an even number
// of hex digits, the byte count against the line's length, the checksum, the
// record type, the value of an extended address record) and every address is
// computed in 64 bits and checked against the image before a byte is written.
//
// Image: addresses 0 up to the highest address any data record writes; bytes
// that no record writes are 0xFF.
//
// Results of the HEX calls: 0, or
//   -1 the image would be larger than its bound (or than the given image),
//   -2 a malformed line (also a line over 530 characters, an unknown record
//      type, an extended address record without exactly two data bytes), or
//      a missing argument,
//   -3 the image would be smaller than 10 bytes,
//   -4 no memory,
//   -5 a record whose checksum fails (any type: a corrupt address record
//      would silently move the rest of the firmware).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Whatever bound a caller asks for, no image is ever larger than this. The
// chips that take these images hold at most a few hundred kilobytes of
// flash; 16 MiB keeps a hostile file (a type 04 record puts data near 4 GiB)
// from turning into a huge allocation.
constexpr uint32_t UTIL_HEX_IMG_MAX = 16u * 1024u * 1024u;
// Images shorter than this are refused (-3).
constexpr uint32_t UTIL_HEX_IMG_MIN = 10;
// Longest line read, without its line end; a full record of 255 bytes takes 521.
constexpr size_t UTIL_HEX_LINE_MAX = 530;

// Decodes the HEX text of `file` (opened for reading, at its start) into a new
// image of at most min(max_size, UTIL_HEX_IMG_MAX) bytes, released by the
// caller with free(). On error nothing is handed back. The file is left
// rewound or at the point of the error; the caller closes it.
int util_hex_img_load(FILE *file, uint32_t max_size, uint8_t **image, uint32_t *size);
// The same over HEX text in memory.
int util_hex_mem_img_load(const uint8_t *text, size_t length, uint32_t max_size, uint8_t **image, uint32_t *size);

// Image size the text needs: highest end address of a data record + 1 (0
// without data). Every record is checked as in the reading pass. The file is
// rewound before returning.
int util_hex_file_size(FILE *file, uint64_t *size);
int util_hex_mem_size(const uint8_t *text, size_t length, uint64_t *size);

// Writes the data records into `image` (image_size bytes, already filled);
// stops with 0 at the end-of-file record or at the end of the text. A record
// that reaches past the image gives -1.
int util_hex_file_to_bin(FILE *file, uint8_t *image, uint32_t image_size);
int util_hex_mem_to_bin(const uint8_t *text, size_t length, uint8_t *image, uint32_t image_size);

// Converts `count` bytes of two hex digits each from the NUL-terminated
// `hex`, then one more pair, the checksum. `sum` is (data bytes + checksum)
// mod 256. 1 done, 0 when a pair is not two hex digits (reading stops at the
// first bad character, so a short text is never read past its NUL).
int util_hex_rec_parse(const char *hex, uint8_t *out, unsigned count, uint8_t *sum);

// The text after the last '.' of the file name (the part after the last
// '/'), or none when the name has no '.'.
const char *util_file_ext_get(const char *name);

// Replaces the file at `path` with `size` bytes of `buffer`: a temporary file
// in the same folder is written, synced and renamed over the old one, and the
// folder synced, so a failure or a crash keeps the old content. The new file
// takes the old one's permissions (0644 for a new file). 1 when the whole
// buffer is in place, else 0 (also for an absent path, or no buffer with a
// size above 0).
int util_file_write(const char *path, const uint8_t *buffer, size_t size);

// A decimal value as Z-Wave configuration and multilevel values carry it.
struct util_dec_val_t {
    uint8_t precision;  // digits after the decimal point
    uint8_t size;       // 1, 2 or 4
    uint8_t value[4];   // big-endian two's complement, `size` bytes used
};

// Reads an optional leading '-', digits and at most one '.'. At most
// `max_dec` digits after the point are kept (the rest are cut, not rounded);
// the point is removed from `text` in place. The integer goes into the
// fewest of 1, 2 or 4 bytes that hold it. 0, or -1 a '-' that is not first,
// -2 a second '.', -3 any other character (the first fault from the left
// decides), -4 no digits, or a value outside the 32-bit signed range.
int util_dec_str_to_val(char *text, uint8_t max_dec, util_dec_val_t *val);
