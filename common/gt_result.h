#ifndef GT_RESULT_H
#define GT_RESULT_H

// Result codes shared by every service operation. 0 is success.
enum GT_RESULT_e {
    GT_OK = 0,
    GT_ERR_ALREADY_INITED = 600001,   // already initialised
    GT_ERR_NOT_INITED = 600002,       // not initialised
    GT_ERR_DEV_OPEN = 600003,         // device file failed to open
    GT_ERR_CREATE = 600004,           // creation or loading failed, lack of memory
    GT_ERR_BAD_ARG = 600005,          // bad argument or failed register read
    GT_ERR_UNKNOWN_HW = 600006,       // unknown hardware/firmware, short transfer, exporter failure
    GT_ERR_CONFIG = 600007,           // configuration item missing or malformed
};

#endif
