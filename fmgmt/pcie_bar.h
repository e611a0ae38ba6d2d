#ifndef FMGMT_PCIE_BAR_H
#define FMGMT_PCIE_BAR_H

#include <sys/stat.h>

#include <cstddef>

// Directory of the PCIe functions in sysfs; the card's BAR 0 is the file
// resource0 of the function's directory.
#define FMGMT_PCI_SYSFS_DIR "/sys/bus/pci/devices/"

// Opens "/sys/bus/pci/devices/<device>/resource0" read-write and maps the
// whole file shared. Prints the failure messages of the mapping steps.
// On success returns the mapping and leaves fd open and sb filled; on failure
// returns nullptr with fd closed (-1). A device text that could leave the
// sysfs directory (a '/', "." or "..") is treated like a file that cannot be
// opened.
void* pcieMapResource0(const char* device, int& fd, struct stat& sb);

// Turns on memory decoding and bus mastering (command register 0x06) of the
// PCIe function named by device ("0000:d8:00.0") through libpci.
// 0 on success, -1 on failure (with a message).
int enable_pci_master(const char* device);

#endif
