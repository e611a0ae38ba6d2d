#include "pcie_bar.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
#include <pci/pci.h>
}

#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

bool safeDeviceName(const char* device) {
    if (device == nullptr || device[0] == '\0') return false;
    size_t n = strnlen(device, 256);
    if (n >= 256) return false;
    if (strchr(device, '/') != nullptr) return false;
    return strcmp(device, ".") != 0 && strcmp(device, "..") != 0;
}

// libpci reports fatal errors through a callback that must not return to it
// (its default ends the process). Ours prints the message and jumps back to
// enable_pci_master, which then fails cleanly.
thread_local jmp_buf* t_pPciJump = nullptr;

__attribute__((noreturn)) void pciFatal(char* msg, ...) {
    va_list ap;
    va_start(ap, msg);
    fputs("pcilib: ", stderr);
    vfprintf(stderr, msg, ap);
    fputc('\n', stderr);
    va_end(ap);
    if (t_pPciJump != nullptr) longjmp(*t_pPciJump, 1);
    abort();
}

}  // namespace

void* pcieMapResource0(const char* device, int& fd, struct stat& sb) {
    std::cout << "mgmtDevice Name " << (device ? device : "") << std::endl;
    fd = -1;
    memset(&sb, 0, sizeof(sb));
    if (safeDeviceName(device)) {
        std::string path = std::string(FMGMT_PCI_SYSFS_DIR) + device + "/resource0";
        fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) {
        std::cout << "open sysfs failed\n" << std::flush;
        fd = -1;
        return nullptr;
    }
    if (fstat(fd, &sb) != 0) {
        int err = errno;
        std::cout << "fstat failed : " << err << std::endl;
        close(fd);
        fd = -1;
        return nullptr;
    }
    void* map = mmap(nullptr, static_cast<size_t>(sb.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        int err = errno;
        std::cout << "mmap failed : " << err << std::endl;
        errno = err;
        perror("mmap");
        close(fd);
        fd = -1;
        return nullptr;
    }
    return map;
}

int enable_pci_master(const char* device) {
    jmp_buf jump;
    struct pci_access* volatile acc = nullptr;
    struct pci_dev* volatile dev = nullptr;
    if (setjmp(jump) != 0) {
        // libpci failed inside a call; its state may be half set up, so it
        // is abandoned rather than cleaned up.
        t_pPciJump = nullptr;
        std::cout << "Failed to enable pci master of " << (device ? device : "") << std::endl;
        return -1;
    }
    t_pPciJump = &jump;

    acc = pci_alloc();
    acc->error = pciFatal;
    pci_init(acc);

    struct pci_filter filter;
    pci_filter_init(acc, &filter);
    char* err = pci_filter_parse_slot(&filter, const_cast<char*>(device ? device : ""));
    // A text without the domain names domain 0; wildcards name no single function.
    if (err == nullptr && filter.domain < 0) filter.domain = 0;
    if (err != nullptr || filter.bus < 0 || filter.slot < 0 || filter.func < 0) {
        std::cout << "Failed to parse device id" << (device ? device : "") << std::endl;
        pci_cleanup(acc);
        t_pPciJump = nullptr;
        return -1;
    }

    dev = pci_get_dev(acc, filter.domain, filter.bus, filter.slot, filter.func);
    if (dev == nullptr) {
        std::cout << "Failed to allocate dev" << std::endl;
        pci_cleanup(acc);
        t_pPciJump = nullptr;
        return -1;
    }
    // Memory space and bus master on, I/O space off.
    int written = pci_write_byte(dev, PCI_COMMAND, PCI_COMMAND_MEMORY | PCI_COMMAND_MASTER);
    pci_free_dev(dev);
    pci_cleanup(acc);
    t_pPciJump = nullptr;
    if (written == 0) {
        std::cout << "Failed to write the command register of " << device << std::endl;
        return -1;
    }
    return 0;
}
