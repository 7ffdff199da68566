/* Leaves malloc about a budget of free bytes and no more, so that a test can sweep how much free heap a
 * call finds. Built by the tests; used through ctypes under an address-space limit that keeps
 * malloc from mapping anything new. */
#include <stddef.h>
#include <stdlib.h>

#define HOG_CAPACITY (1 << 20)
/* Blocks above the per-thread cache's sizes, so that freed neighbours merge into one. */
#define RESERVED_BYTES 2048
#define RESERVED_CAPACITY (1 << 14)

static void *hogs[HOG_CAPACITY];
static size_t n_hogs;
static void *reserved[RESERVED_CAPACITY];

static int take_all_of(size_t size) {
  for (;;) {
    if (n_hogs == HOG_CAPACITY) return -1;
    void *block = malloc(size);
    if (block == NULL) return 0;
    hogs[n_hogs++] = block;
  }
}

static size_t n_reserved;

/* Sets `budget` bytes aside, before the address space is limited. Returns 0 or -1. */
int reserve(size_t budget) {
  n_reserved = budget / RESERVED_BYTES;
  if (n_reserved > RESERVED_CAPACITY) return -1;
  for (size_t i = 0; i < n_reserved; ++i) {
    reserved[i] = malloc(RESERVED_BYTES - 16);
    if (reserved[i] == NULL) return -1;
  }
  return 0;
}

/* Takes everything else malloc can hand out, then frees the budget. Returns 0, or -1 when
 * malloc could not be exhausted. */
int squeeze(void) {
  for (size_t size = (size_t)1 << 26; size > 2048; size /= 2) {
    if (take_all_of(size) != 0) return -1;
  }
  /* Every small size class, since freed small blocks are only reused for their own size. */
  for (size_t size = 2048; size >= 8; size -= 8) {
    if (take_all_of(size) != 0) return -1;
  }
  for (size_t i = 0; i < n_reserved; ++i) free(reserved[i]);
  n_reserved = 0;
  return 0;
}

void release(void) {
  while (n_hogs > 0) free(hogs[--n_hogs]);
}
