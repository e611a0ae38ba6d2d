#ifndef QUAY_DAEMON_H
#define QUAY_DAEMON_H

// The daemon's own part: start-up work, the one-second loop and release.
// Everything runs on the main thread except the monitor server's scrapes.

#include <cstdint>

// "Software Ver ... " followed by the build date and time.
const char* GetQuayVersion();

// The command line, read before anything starts: -1 when there is none (run
// the daemon); otherwise the exit status after printing the usage or the
// version (0 for --help, -h and --version; 2, usage on standard error, for
// anything else). Nothing is created or read.
int HandleArguments(int argc, char** argv);

// Brings the card up, takes the first reading, starts the monitor server and
// loops for ever. Returns only when bring-up fails (600004).
int doWork();

// Starts the monitor server with g_lpConfig and g_lpFpgaService. 0, or -1
// when the exporter could not be started; failures are logged and the
// daemon goes on without metrics.
int initMonitor();

// Day check of the loop: false on the first call (it only stores today's
// key, year * 10000 + month * 100 + day, local time) and on any later day
// not past the stored one; true after resetting the card on a new day.
bool CheckTimeAndReset(uint64_t& last_rotate);

// Deletes the logger, the configuration, the driver and the FPGA service,
// in this order.
void release();

#endif
