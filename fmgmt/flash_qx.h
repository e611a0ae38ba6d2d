#ifndef FMGMT_FLASH_QX_H
#define FMGMT_FLASH_QX_H

// Entry points of the tool's maintenance commands. device is a PCIe address
// such as "0000:d8:00.0".

// Writes the MCS image mcsFile into the card's configuration flash. Prints
// its progress and outcome; 0 on success, -1 on failure. Ends the process
// with status -95 when the flash device cannot be identified.
int flash_cmd_qx(const char* device, const char* mcsFile);

// Makes the FPGA load its configuration again after delay (in the firmware's
// unit, at least 3). 0 when the reload was triggered, -1 when the card could
// not be reached.
int flash_reload_qx(const char* device, int delay);

#endif
