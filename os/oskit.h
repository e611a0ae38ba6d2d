#ifndef OSKIT2_OSKIT_H
#define OSKIT2_OSKIT_H

// liboskit: operating-system primitives and network helpers.
// Include this header, link with `pkg-config --cflags --libs oskit`.

#include "oskit_base.h"
#include "oskit_ipc.h"
#include "oskit_lib.h"
#include "oskit_net.h"
#include "oskit_str.h"
#include "oskit_thread.h"
#include "thread_mutex.h"
#include "tiny_malloc.h"

#endif
