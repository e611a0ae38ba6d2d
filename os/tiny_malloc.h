#ifndef OSKIT2_TINY_MALLOC_H
#define OSKIT2_TINY_MALLOC_H

// Fixed-size block allocator for blocks of 1 to 255 bytes. Each size has its
// own class of slabs of 65535 blocks; every block carries an 8-byte header:
//   bytes 0-1  slab index within the size class (uint16)
//   byte  2    block size, 0 once freed
//   byte  3    0xFF
//   bytes 4-7  unused
// Every call is serialised by one process-wide recursive mutex.
//
//   tiny_malloc_init();
//   void* p = tiny_malloc(24); ...; tiny_free(p);
//   tiny_malloc_uninit();          // the last user releases every slab

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void tiny_malloc_init(void);
void tiny_malloc_uninit(void);
// Null for 0 or more than 255 bytes, or when memory runs out.
void* tiny_malloc(size_t size);
// 0, or -1 when the block's size has no allocator. Blocks already freed and
// pointers that no slab holds are ignored (0) and never written to.
int tiny_free(void* p);
void tiny_print_malloc_info(void);

// Receives the allocator table: first the five columns ("pool_size",
// "malloc_nodes", "malloc_units", "malloc_unit_size", "total_mem"; text
// type, width 255, scale 4), then one row per size class.
typedef struct TinyInfoWriter {
    void* ctx;
    void (*add_column)(void* ctx, const char* name, const char* type, int width, int scale);
    void (*add_row)(void* ctx, const int64_t values[5]);
} TinyInfoWriter;
// Number of rows written, -1 for a null writer.
int tiny_get_malloc_info(const TinyInfoWriter* writer);

#ifdef __cplusplus
}
#endif

#endif
