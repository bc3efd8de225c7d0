/* What the parts of libkiv share: little-endian reads and the status helper. */
#ifndef KIV_RUNTIME_INTERNAL_H
#define KIV_RUNTIME_INTERNAL_H

#include <stddef.h>

#include "kiv/kiv.h"

/* The 32-bit signed little-endian integer at p, read byte by byte. */
static inline long kiv_le32(const unsigned char* p) {
    const unsigned long u = (unsigned long)p[0] | ((unsigned long)p[1] << 8) |
                            ((unsigned long)p[2] << 16) | ((unsigned long)p[3] << 24);
    return u >= 0x80000000UL ? (long)(u - 0x80000000UL) - 0x7FFFFFFFL - 1 : (long)u;
}

/* Sets the status (when given) and returns code. */
int kiv_fail(kiv_status* status, int code, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
int kiv_succeed(kiv_status* status);

/* Sprite record layout. */
#define KIV_SPRITE_HEADER 12
#define KIV_RECORD 12
#define KIV_END_ROW 0x8000L

#endif
