/*
 * libQxFPGAExporter - Prometheus metrics exporter with a C interface.
 *
 * The host registers named metric blocks (gauge or counter blocks), each with
 * a description and a callback. On every HTTP request for the metrics path the
 * library builds a fresh registry, adds the process and socket families of the
 * host process, calls every block's callback on its own HTTP thread so that the
 * host fills the block with records (a label set and a value each), and serves
 * the result in the Prometheus text format.
 *
 * Calling order: Q_Exporter_Init once, Q_Exporter_Regist_Gauge /
 * Q_Exporter_Regist_Counter any number of times (also while serving),
 * Q_Exporter_Fini at the end. The record functions (CreatRecord, SetValue, the
 * _Add_ functions, GetName) are called only from inside a block callback with
 * the handle that the callback received. Strings passed in are copied.
 *
 * Results: 0 success, -1 failure, unless stated.
 */
#ifndef Q_EXPORTER_H
#define Q_EXPORTER_H

#include <stdint.h>

#if defined(__GNUC__)
#define Q_EXPORTER_API __attribute__((visibility("default")))
#else
#define Q_EXPORTER_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The record handed to a callback: the block being filled and its type
 * (0 gauge block, 1 counter block). Valid only during the callback. */
typedef struct Q_Exporter_Handle {
    void* _handle;
    const int _type;
} Q_Exporter_Handle;

typedef Q_Exporter_Handle* Q_Exporter_LPHandle;

/* Index of a record within a block, 0-based. */
typedef int Q_Exporter_Line_Index;

typedef void (*Q_Cb_Gauge)(Q_Exporter_LPHandle);
typedef void (*Q_Cb_Counter)(Q_Exporter_LPHandle);

typedef enum METRICS_TYPE {
    METRICS_TYPE_GAUGE = 0,
    METRICS_TYPE_COUNTER = 1,
    METRICS_TYPE_HISTOGRAM = 2,
    METRICS_TYPE_SUMMARY = 3
} METRICS_TYPE;

/* Starts the HTTP server on strIp:nPort (IPv4; an address of two characters
 * or fewer means 0.0.0.0) serving strPath (empty means "/metrics").
 * strVersion, when non-empty, is reported in the process family.
 * -1 for a port above 65535, a null address or path, a server already
 * started, or a listening socket that cannot be set up. */
Q_EXPORTER_API int Q_Exporter_Init(int nPort, const char* strIp, const char* strVersion,
                                   const char* strPath);

/* Registers or replaces a block. The name must be non-empty and must not
 * begin with "__"; the description must be non-null (may be empty); the
 * callback must be non-null. */
Q_EXPORTER_API int Q_Exporter_Regist_Gauge(const char* strBlockName, const char* strBlockDesc,
                                           Q_Cb_Gauge f_c);
Q_EXPORTER_API int Q_Exporter_Regist_Counter(const char* strBlockName, const char* strBlockDesc,
                                             Q_Cb_Counter f_c);

/* Appends an empty record (no labels, value 0) and returns its index. */
Q_EXPORTER_API int Q_Exporter_CreatRecord(Q_Exporter_LPHandle handle);

/* Sets the value of record index. A gauge value strictly between -1e-6 and
 * 1e-6 (or never set) is exported as the scrape time in Unix seconds; a
 * counter is incremented by the value (a negative value leaves it at 0). */
Q_EXPORTER_API void Q_Exporter_SetValue(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index,
                                        double fValue);

/* As Q_Exporter_SetValue, but a gauge keeps the value as given, 0 included:
 * for samples whose value is a measurement that may be zero (a state, a
 * register, a lag) rather than a marker of the scrape time. */
Q_EXPORTER_API void Q_Exporter_SetValueExact(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index,
                                             double fValue);

/* Adds a label to record index of a gauge block. Values are converted with
 * "%d", "%ld" and "%f". A label already present in the record keeps its
 * first value (the call still returns 0). */
Q_EXPORTER_API int Q_Exporter_Gauge_Add_int(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index,
                                            const char* strName, int value);
Q_EXPORTER_API int Q_Exporter_Gauge_Add_int64(Q_Exporter_LPHandle handle,
                                              Q_Exporter_Line_Index index, const char* strName,
                                              int64_t value);
Q_EXPORTER_API int Q_Exporter_Gauge_Add_str(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index,
                                            const char* strName, const char* value);
Q_EXPORTER_API int Q_Exporter_Gauge_Add_double(Q_Exporter_LPHandle handle,
                                               Q_Exporter_Line_Index index, const char* strName,
                                               double value);

/* The same for counter blocks. */
Q_EXPORTER_API int Q_Exporter_Counter_Add_Features_int(Q_Exporter_LPHandle handle,
                                                       Q_Exporter_Line_Index index,
                                                       const char* strName, int value);
Q_EXPORTER_API int Q_Exporter_Counter_Add_Features_int64(Q_Exporter_LPHandle handle,
                                                         Q_Exporter_Line_Index index,
                                                         const char* strName, int64_t value);
Q_EXPORTER_API int Q_Exporter_Counter_Add_Features_str(Q_Exporter_LPHandle handle,
                                                       Q_Exporter_Line_Index index,
                                                       const char* strName, const char* value);
Q_EXPORTER_API int Q_Exporter_Counter_Add_Features_double(Q_Exporter_LPHandle handle,
                                                          Q_Exporter_Line_Index index,
                                                          const char* strName, double value);

/* The block's name, valid during the callback; null for a bad handle. */
Q_EXPORTER_API const char* Q_Exporter_GetName(Q_Exporter_LPHandle handle);

/* Stops the server (thread joined, sockets closed) and clears every
 * registered block. The library may be initialised again afterwards. */
Q_EXPORTER_API int Q_Exporter_Fini(void);

#ifdef __cplusplus
}
#endif

#endif /* Q_EXPORTER_H */
