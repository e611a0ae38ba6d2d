#ifndef ENYX_HW_H
#define ENYX_HW_H

/*
 * Enyx hardware access, C interface.
 *
 * This is the interface of the simulated card library (libenyx-hw-sim). It
 * offers the calls the host software makes on an Enyx card: accelerator and
 * register-space (MMIO) enumeration, the core tree, register reads and
 * writes, core locks and resets, and the a2c (card to host) and c2a (host to
 * card) DMA streams.
 *
 * Conventions:
 *  - enumerations return the number of matches (which may exceed the
 *    capacity; at most `capacity` slots are filled, unused slots are set to
 *    NULL), or -1 with errno set;
 *  - creators and getters return NULL with errno set on failure;
 *  - other calls return 0 on success and -1 with errno set on failure;
 *  - enyx_hw_a2c_stream_poll_once returns 1 when it delivered a record, 0
 *    when none was waiting;
 *  - enyx_hw_c2a_stream_send returns 11 (EAGAIN) while the stream is busy.
 */

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct enyx_hw_filter enyx_hw_filter;
typedef struct enyx_hw_accelerator_descriptor enyx_hw_accelerator_descriptor;
typedef struct enyx_hw_accelerator enyx_hw_accelerator;
typedef struct enyx_hw_mmio_descriptor enyx_hw_mmio_descriptor;
typedef struct enyx_hw_mmio enyx_hw_mmio;
typedef struct enyx_hw_core_tree enyx_hw_core_tree;
typedef struct enyx_hw_core enyx_hw_core;
typedef struct enyx_hw_a2c_stream_descriptor enyx_hw_a2c_stream_descriptor;
typedef struct enyx_hw_a2c_stream enyx_hw_a2c_stream;
typedef struct enyx_hw_c2a_stream_descriptor enyx_hw_c2a_stream_descriptor;
typedef struct enyx_hw_c2a_stream enyx_hw_c2a_stream;

/* One register field: `width` bits starting `bit_offset` bits above the
 * byte at `address` (a byte offset in the core's register space). */
typedef struct enyx_hw_register_description {
    uint64_t address;
    uint32_t bit_offset;
    uint32_t width;
} enyx_hw_register_description;

/* Stream options; NULL selects the defaults. */
typedef struct enyx_hw_a2c_stream_configuration {
    uint32_t reserved;
} enyx_hw_a2c_stream_configuration;

typedef struct enyx_hw_c2a_stream_configuration {
    uint32_t reserved;
} enyx_hw_c2a_stream_configuration;

/* Called once per received record; the bytes are valid during the call only. */
typedef void (*enyx_hw_a2c_stream_handler)(const uint8_t* data, uint32_t size, void* opaque);

/* Filters: match by index and/or by name; an empty filter matches all. */
enyx_hw_filter* enyx_hw_filter_create(void);
int enyx_hw_filter_set_index(enyx_hw_filter* filter, uint32_t index);
int enyx_hw_filter_set_name(enyx_hw_filter* filter, const char* name);
void enyx_hw_filter_destroy(enyx_hw_filter* filter);

/* Accelerators (cards). */
ssize_t enyx_hw_enumerate_accelerators(const enyx_hw_filter* filter,
                                       enyx_hw_accelerator_descriptor** descriptors,
                                       size_t capacity);
void enyx_hw_free_accelerator_descriptors(enyx_hw_accelerator_descriptor** descriptors,
                                          size_t count);
enyx_hw_accelerator* enyx_hw_accelerator_get(const enyx_hw_accelerator_descriptor* descriptor);
void enyx_hw_accelerator_put(enyx_hw_accelerator* accelerator);

/* Register spaces. */
ssize_t enyx_hw_accelerator_enumerate_mmios(enyx_hw_accelerator* accelerator,
                                            const enyx_hw_filter* filter,
                                            enyx_hw_mmio_descriptor** descriptors,
                                            size_t capacity);
void enyx_hw_free_mmio_descriptors(enyx_hw_mmio_descriptor** descriptors, size_t count);
enyx_hw_mmio* enyx_hw_mmio_create(const enyx_hw_mmio_descriptor* descriptor);
void enyx_hw_mmio_destroy(enyx_hw_mmio* mmio);

/* Core tree and cores. */
enyx_hw_core_tree* enyx_hw_enumerate_cores(enyx_hw_mmio* mmio);
enyx_hw_core* enyx_hw_core_tree_get_root(enyx_hw_core_tree* tree);
/* Cores of hardware id `hardware_id` in the subtree of `root`. */
ssize_t enyx_hw_core_enumerate(enyx_hw_core* root, uint16_t hardware_id,
                               enyx_hw_core** cores, size_t capacity);
/* Resets the core and every core below it. */
int enyx_hw_core_reset(enyx_hw_core* core);
int enyx_hw_core_lock(enyx_hw_core* core);
int enyx_hw_core_unlock(enyx_hw_core* core);

/* Register access. Reads return the field in the low bits of *value. */
int enyx_hw_read(enyx_hw_core* core, const enyx_hw_register_description* reg, uint64_t* value);
int enyx_hw_write(enyx_hw_core* core, const enyx_hw_register_description* reg, uint64_t value);

/* a2c streams (card to host). */
ssize_t enyx_hw_accelerator_enumerate_a2c_streams(enyx_hw_accelerator* accelerator,
                                                  const enyx_hw_filter* filter,
                                                  enyx_hw_a2c_stream_descriptor** descriptors,
                                                  size_t capacity);
void enyx_hw_free_a2c_stream_descriptors(enyx_hw_a2c_stream_descriptor** descriptors,
                                         size_t count);
enyx_hw_a2c_stream* enyx_hw_a2c_stream_create(const enyx_hw_a2c_stream_descriptor* descriptor,
                                              const enyx_hw_a2c_stream_configuration* config);
void enyx_hw_a2c_stream_destroy(enyx_hw_a2c_stream* stream);
int enyx_hw_a2c_stream_get_mtu(const enyx_hw_a2c_stream* stream, uint32_t* mtu);
/* Delivers at most one record to `handler`: 1 delivered, 0 none, -1 error. */
int enyx_hw_a2c_stream_poll_once(enyx_hw_a2c_stream* stream, enyx_hw_a2c_stream_handler handler,
                                 void* opaque);
int enyx_hw_a2c_stream_stats_get_backpressure(const enyx_hw_a2c_stream* stream, uint32_t* value);
int enyx_hw_a2c_stream_stats_get_packet_count(const enyx_hw_a2c_stream* stream, uint32_t* value);
int enyx_hw_a2c_stream_stats_get_fifo_errors(const enyx_hw_a2c_stream* stream, uint32_t* value);
int enyx_hw_a2c_stream_stats_get_errors(const enyx_hw_a2c_stream* stream, uint32_t* value);

/* c2a streams (host to card). */
ssize_t enyx_hw_accelerator_enumerate_c2a_streams(enyx_hw_accelerator* accelerator,
                                                  const enyx_hw_filter* filter,
                                                  enyx_hw_c2a_stream_descriptor** descriptors,
                                                  size_t capacity);
void enyx_hw_free_c2a_stream_descriptors(enyx_hw_c2a_stream_descriptor** descriptors,
                                         size_t count);
enyx_hw_c2a_stream* enyx_hw_c2a_stream_create(const enyx_hw_c2a_stream_descriptor* descriptor,
                                              const enyx_hw_c2a_stream_configuration* config);
void enyx_hw_c2a_stream_destroy(enyx_hw_c2a_stream* stream);
int enyx_hw_c2a_stream_get_mtu(const enyx_hw_c2a_stream* stream, uint32_t* mtu);
/* 0 sent, 11 (EAGAIN) busy: try again, -1 error (errno set, e.g. EMSGSIZE). */
int enyx_hw_c2a_stream_send(enyx_hw_c2a_stream* stream, const void* data, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
