#ifndef OSKIT2_BASE_H
#define OSKIT2_BASE_H

// Plain C helpers of liboskit: sleeping, clocks, directories and version texts.
// All of them are safe to call from any thread; the directory handle returned
// by OpenDir belongs to one caller at a time.
//
//   tag_DIR_HANDLE* h = OpenDir("logs/*.log");
//   tag_FileInfo fi;
//   while (h && ReadDir(h, &fi)) { ... fi.sFileName, fi.iSize, fi.iTime ... }
//   CloseDir(h);

#include <dirent.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tag_DIR_HANDLE {
    DIR* dirbuf;
    char sDir[257];      // directory listed, always ends in "/"
    char sPattern[33];   // shell wildcard the names must match
} tag_DIR_HANDLE;

typedef struct tag_FileInfo {
    char sFileName[256];
    int iSize;
    // ((year - 1980) << 25) + (month << 21) + (day << 16) + (hour << 11)
    // + (minute << 5) + seconds / 2, local time of the last modification.
    int iTime;
    bool bIsDir;
} tag_FileInfo;

// Below 1000 ms sleeps in microseconds, otherwise whole seconds (the rest is dropped).
void SleepX(int ms);
// Replaces every back-slash by "/" in place.
void ConvertDir(char* path);
// True if path exists and is a directory (a final symbolic link is not followed).
bool IsDir(const char* path);
// Creates every prefix ending before a "/"; the last component only when the
// path ends with "/". Returns the result of the last mkdir (0 or -1).
int CreateDir(const char* path);
// Null on failure, including a directory part longer than 255 characters or
// a pattern longer than 32.
tag_DIR_HANDLE* OpenDir(const char* lpPattern);
// 1 with the next matching entry in *info, 0 at the end.
int ReadDir(tag_DIR_HANDLE* handle, tag_FileInfo* info);
void CloseDir(tag_DIR_HANDLE* handle);

int GetRandNum(void);                 // 1..100000
uint32_t GetTimeSinceStart(void);     // wall-clock ms since the epoch, low 32 bits
uint64_t GetTime(void);               // wall-clock us since the epoch
// "yy-mm-dd hh:mm:ss:mmm" local time; buf needs 64 bytes. Returns buf.
char* GetTimeStr(char* buf);
void GetTimespecMonotonic(long ms, struct timespec* ts);
void GetTimespecRealtime(long ms, struct timespec* ts);
int GetErrorNo(void);
const char* GetOSAdapterVer(void);
const char* GetOSAdapterData(void);

// Stack size in KiB for new threads: "OSKIT_STACK_SIZE" clamped to
// 256..102400, 10240 when unset or not a number.
size_t OskitStackSizeKiB(void);

#ifdef __cplusplus
}
#endif

#endif
