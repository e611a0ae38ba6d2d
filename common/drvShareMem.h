#ifndef DRV_SHARE_MEM_H
#define DRV_SHARE_MEM_H

// The System V segment MKRX_SHM_KEY and the lock semaphores beside it, as
// the producer and its consumer processes use them.

#include <cstdint>

// Wall-clock time (CLOCK_REALTIME) in nanoseconds.
extern "C" int64_t MkrxGetTimeTamp();
// Monotonic time (CLOCK_MONOTONIC) in nanoseconds.
int64_t MkrxMonoTimeNs();

// ---- Shared memory and semaphores (one attachment per process) ----
// The attached address and the segment id are process-wide; these calls are
// made from one thread at a time.

// Looks the segment up without creating it; remembers its id.
bool IsShareMemExist(int key);
// The id IsShareMemExist or GetShareMemBase last found; -1 before.
int ShareMemId();
// Processes attached to the segment; 0 if it does not exist.
int GetAttachMMNum(int key);
// Size of the segment in bytes; 0 if it does not exist.
uint64_t GetShareMemSize(int key);
// The attached segment MKRX_SHM_KEY, attaching it if needed; null on failure.
void* GetShareMemBase();
// The segment if this process has attached it, else null (never attaches).
void* AttachedShareMem();
// Creates (or opens) the segment for a ring of poolBytes, attaches and zeroes it.
void* AllocShareMem(uint64_t poolBytes);
// Producer: detaches and marks the segment for removal.
void freeShareMem();
// Consumer: detaches without removing.
void DetachShareMem();

// How long a taker waits for a lock semaphore. The sets are mode 0777, so
// any local process can hold one or set it to 0: nobody waits for ever. The
// producer's copy thread, which stalls the feed while it waits, gives up
// sooner than a consumer attaching or leaving.
constexpr int MKRX_SEM_WAIT_MS = 1000;       // consumers: attach, detach, event log
constexpr int MKRX_SEM_KICK_WAIT_MS = 100;   // the producer expelling a consumer

// Takes the lock semaphore of key, waiting at most waitMs: 0 with its id, or
// -1 (also on time-out). A missing set is created with value 1, unless create
// is false: a consumer leaving after the producer removed the sets must not
// leave new ones behind.
int GetSemByKey(int key, int& semid, bool create = true, int waitMs = MKRX_SEM_WAIT_MS);
int ReleaseSem(int semid);
int InitShmmSemByKey(int key);
int InitShmmSemByOldVal(int key);
int DelShmmSemByKey(int key);

#endif
