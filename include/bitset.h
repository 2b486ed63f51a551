/* Bit sets over small non-negative integers, as used for the FIRST sets of
 * the grammar tables: bit i lives in byte i / 8 under the mask 1 << (i % 8). */
#ifndef ZVBITSET_H
#define ZVBITSET_H

#include "zvport.h"

ZV_BEGIN_DECLS

typedef unsigned char *bitset;

#define NBYTES(nbits) (((nbits) + 7) / 8)
#define BIT2BYTE(ibit) ((ibit) / 8)
#define BIT2MASK(ibit) (1 << ((ibit) % 8))
#define testbit(ss, ibit) (((ss)[BIT2BYTE(ibit)] & BIT2MASK(ibit)) != 0)

ZV_END_DECLS

#endif /* ZVBITSET_H */
