// Firmware images in Intel HEX.
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
