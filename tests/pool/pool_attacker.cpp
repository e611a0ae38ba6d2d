// A local process that writes the live shared pool, as any process may (the
// segment and its semaphores are mode 0777). Driven by the hostile-client
// tests from inside their IPC namespace.
//
//   pool_attacker poke OFFSET WIDTH VALUE   store VALUE, little-endian, in
//                                           WIDTH (1, 4 or 8) bytes at OFFSET
//                                           of the segment MKRX_SHM_KEY
//   pool_attacker semzero KEY               set the semaphore of KEY to 0
//
// Exit: 0 done, 1 nothing to write (no segment or set), 2 bad arguments.

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mkrxDef.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::string mode = argv[1];
    if (mode == "poke" && argc == 5) {
        uint64_t off = strtoull(argv[2], nullptr, 0);
        int width = atoi(argv[3]);
        uint64_t value = strtoull(argv[4], nullptr, 0);
        if (width != 1 && width != 4 && width != 8) return 2;
        int id = shmget(MKRX_SHM_KEY, 0, 0);
        struct shmid_ds ds;
        if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0 || off + (uint64_t)width > ds.shm_segsz) return 1;
        void* p = shmat(id, nullptr, 0);
        if (p == (void*)-1) return 1;
        memcpy(static_cast<uint8_t*>(p) + off, &value, (size_t)width);
        shmdt(p);
        return 0;
    }
    if (mode == "semzero") {
        int id = semget(atoi(argv[2]), 0, 0);
        if (id < 0) return 1;
        union {
            int val;
            struct semid_ds* buf;
            unsigned short* array;
        } arg;
        arg.val = 0;
        return semctl(id, 0, SETVAL, arg) == 0 ? 0 : 1;
    }
    return 2;
}
