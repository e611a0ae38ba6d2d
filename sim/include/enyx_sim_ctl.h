#ifndef ENYX_SIM_CTL_H
#define ENYX_SIM_CTL_H

/*
 * Control interface of the simulated Enyx card, for tests, the demo and
 * tools. Production code includes only enyx_hw.h.
 *
 * A card is named by its index (the order of the "card" lines in the
 * configuration, see sim/README.md) and read from the same configuration
 * and directory as the hardware calls (ENYX_SIM_CONFIG, ENYX_SIM_DIR), so a
 * control call in one process acts on the card another process uses.
 * Streams are named as in the configuration; cores by hardware id (the
 * first core with that id when there are several).
 *
 * Calls return 0 (or a count) on success and -1 with errno set on failure:
 * ENODEV no such card, ENOENT no such stream or core, EINVAL bad argument or
 * bad configuration, EMSGSIZE record larger than the stream's MTU.
 */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- card files ---- */

/* Path of the card's shared file (valid until the next call); NULL on error. */
const char* enyx_sim_card_path(unsigned card);
/* Removes the card's shared file; the next opener rebuilds it from the
 * configuration (registers zero, FIFOs empty, counters zero). */
int enyx_sim_card_remove(unsigned card);

/* ---- registers (backdoor: not logged, no locks, no failure injection) ---- */

/* byte_offset is in bytes; the driver's register index n is byte offset 4n. */
int enyx_sim_reg_peek(unsigned card, uint16_t core_hwid, uint64_t byte_offset, void* buf, size_t len);
int enyx_sim_reg_poke(unsigned card, uint16_t core_hwid, uint64_t byte_offset, const void* buf, size_t len);

/* ---- resets ---- */

/* Number of enyx_hw_core_reset calls that reached the given core (a reset
 * of the root reaches every core). Core id 0 is the root: its count is the
 * number of whole-tree resets. -1 on error. */
int64_t enyx_sim_reset_count(unsigned card, uint16_t core_hwid);

/* ---- access log ---- */

typedef struct enyx_sim_log_entry {
    uint64_t seq;          /* position in the card's log, from 0 */
    uint64_t byte_offset;  /* register byte offset (0 for lock, unlock, reset) */
    uint64_t value;        /* value read or written (after masking to the width) */
    int32_t pid;           /* process that made the access */
    uint16_t core_hwid;
    uint16_t core_instance; /* 0 for the first core of that id */
    char op;               /* 'R' read, 'W' write, 'L' lock, 'U' unlock, 'X' reset */
    uint8_t width;         /* bits (R, W) */
    uint8_t bit_offset;
    int8_t result;         /* 0 done, -1 refused (bad offset, width or injected failure) */
    uint32_t reserved;
} enyx_sim_log_entry;

/* Sequence number the next entry will get; use it as a mark before an action. */
uint64_t enyx_sim_log_mark(unsigned card);
/* Copies the entries with seq >= from (oldest first, at most cap) and returns
 * how many; entries overwritten by the ring (capacity "log" of the
 * configuration, default 65536) are skipped. -1 on error. */
long enyx_sim_log_read(unsigned card, uint64_t from, enyx_sim_log_entry* out, size_t cap);

/* ---- a2c streams (card to host) ---- */

typedef struct enyx_sim_a2c_stats {
    uint64_t queued;        /* records waiting in the FIFO */
    uint64_t delivered;     /* records handed to a poller (the packet count) */
    uint64_t backpressure;  /* records dropped because the FIFO was full */
    uint64_t injected;      /* records queued by enyx_sim_a2c_inject */
    uint64_t generated;     /* records produced by the feed generator or replay */
    uint32_t fifo_errors;
    uint32_t errors;
    uint32_t mtu;
    uint32_t depth;         /* FIFO capacity in records */
} enyx_sim_a2c_stats;

/* Queues one record. 0 queued; -1 with errno ENOBUFS when the FIFO is full
 * (the record is dropped and counted as back-pressure). */
int enyx_sim_a2c_inject(unsigned card, const char* stream, const void* data, uint32_t len);

/* Feed generator. Records (little-endian):
 *   0  uint16 message type      (cycled through `types`)
 *   2  uint16 record length     (= size)
 *   4  uint32 sequence number   (per message type, from 1)
 *   8  uint64 timestamp         (CLOCK_REALTIME ns; with a rate, the record's due time)
 *  16  payload                  (byte k of record n = (n + k) & 0xff, n from 0)
 * rate: records per second, the card's pace: records due while the FIFO is
 * full are dropped as back-pressure (their sequence numbers are skipped).
 * rate 0: as fast as the FIFO takes them, never dropping.
 * count: records to produce in all, 0 for no end. size >= 16 and <= MTU. */
typedef struct enyx_sim_feed_config {
    double rate;
    uint64_t count;
    uint32_t size;
    uint32_t ntypes;        /* 1..16; 0 means one type, 1 */
    uint16_t types[16];
} enyx_sim_feed_config;

/* Starts (or restarts: sequence numbers from 1) the generator of a stream;
 * NULL stops the stream's source. */
int enyx_sim_a2c_feed(unsigned card, const char* stream, const enyx_sim_feed_config* cfg);

/* Replays a recorded file into the stream: a pcap file (classic format, either
 * byte order; the packet bytes are the records) or a file of records each
 * preceded by its length as a little-endian uint32. rate and count as for the
 * feed; loop != 0 starts again at the end of the file. */
int enyx_sim_a2c_replay(unsigned card, const char* stream, const char* path, double rate,
                        uint64_t count, int loop);

/* Writes a file of length-prefixed records, the replay format. */
int enyx_sim_write_record_file(const char* path, const void* const* records, const uint32_t* lens,
                               size_t n);

int enyx_sim_a2c_stats_get(unsigned card, const char* stream, enyx_sim_a2c_stats* out);
/* Empties the FIFO, stops the source and zeroes the counters. */
int enyx_sim_a2c_reset(unsigned card, const char* stream);
/* Adds to the error counters the card reports. */
int enyx_sim_a2c_add_errors(unsigned card, const char* stream, uint32_t fifo_errors, uint32_t errors);

/* ---- c2a streams (host to card) ---- */

typedef struct enyx_sim_c2a_stats {
    uint64_t sends;         /* messages accepted */
    uint64_t bytes;         /* bytes accepted */
    uint64_t busy_returns;  /* sends answered with 11 */
    uint64_t queued;        /* accepted messages not yet taken by enyx_sim_c2a_pop */
    uint32_t mtu;
    uint32_t depth;
} enyx_sim_c2a_stats;

/* While busy != 0 every send returns 11. */
int enyx_sim_c2a_set_busy(unsigned card, const char* stream, int busy);
/* The next n sends return 11 (added to a counter shared by all processes). */
int enyx_sim_c2a_busy_next(unsigned card, const char* stream, uint32_t n);
/* Takes the oldest accepted message: returns its length (0 when none), copying
 * at most cap bytes. Accepted messages wait in a FIFO of `depth`; while it is
 * full, sends return 11. */
long enyx_sim_c2a_pop(unsigned card, const char* stream, void* buf, size_t cap);
int enyx_sim_c2a_stats_get(unsigned card, const char* stream, enyx_sim_c2a_stats* out);

/* ---- failure injection (this process only) ---- */

/* The named enyx_hw_* call (e.g. "enyx_hw_mmio_create") succeeds `skip` more
 * times, then fails `count` times with errno = err. Calls that return a
 * handle return NULL, counters/enumerations return -1, poll and send return -1.
 * "enyx_hw_read"/"enyx_hw_write" failures are logged with result -1. */
int enyx_sim_fail_call(const char* call, unsigned skip, unsigned count, int err);
void enyx_sim_fail_clear(void);

#ifdef __cplusplus
}
#endif

#endif
