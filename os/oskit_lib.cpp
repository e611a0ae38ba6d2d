#include "oskit_lib.h"

#include <dlfcn.h>
#include <link.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace OSKIT2 {

CLib::CLib() : m_hLib(nullptr) {
    m_szLibName[0] = '\0';
    m_szPath[0] = '\0';
}

CLib::~CLib() { Free(); }

bool CLib::ConvertFileName(const char* name, char* out, unsigned cap) {
    if (!name || !out || cap == 0) return false;
    std::string s(name);
    for (char& c : s)
        if (c == '\\') c = '/';
    size_t slash = s.rfind('/');
    std::string dir = slash == std::string::npos ? "" : s.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? s : s.substr(slash + 1);
    std::string full = dir + "lib" + base + ".so";
    if (full.size() >= cap) {
        out[0] = '\0';
        return false;
    }
    memcpy(out, full.c_str(), full.size() + 1);
    return true;
}

void* CLib::Open(const char* name, int mode) {
    Free();
    if (!name || !*name) return nullptr;
    if (!ConvertFileName(name, m_szLibName, sizeof(m_szLibName))) return nullptr;
    void* h = dlopen(m_szLibName, mode);
    if (!h) return nullptr;
    // The path comes from "_init" when the library exports it; current
    // toolchains keep it out of the dynamic symbol table, so the loader's own
    // record of the opened file is the one used otherwise.
    const char* path = nullptr;
    Dl_info info;
    void* init = dlsym(h, "_init");
    struct link_map* map = nullptr;
    if (dlinfo(h, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name)
        path = map->l_name;
    else if (init && dladdr(init, &info) && info.dli_fname)
        path = info.dli_fname;
    if (!path) {
        dlclose(h);
        return nullptr;
    }
    char resolved[PATH_MAX];
    if (realpath(path, resolved)) path = resolved;
    // A path that does not fit is refused rather than reported cut.
    size_t n = strlen(path);
    if (n >= sizeof(m_szPath)) {
        dlclose(h);
        return nullptr;
    }
    memcpy(m_szPath, path, n + 1);
    m_hLib = h;
    return h;
}

void* CLib::Load(const char* name) { return Open(name, RTLD_LAZY); }

void* CLib::LoadEx(const char* name) { return Open(name, RTLD_NOW); }

void* CLib::LoadFunc(const char* symbol) {
    if (!m_hLib || !symbol || !*symbol) return nullptr;
    return dlsym(m_hLib, symbol);
}

int CLib::Free() {
    if (!m_hLib) return 1;
    int rc = dlclose(m_hLib);
    m_hLib = nullptr;
    m_szPath[0] = '\0';
    return rc == 0 ? 0 : 1;
}

const char* CLib::GetLastErrorInfo() {
    const char* e = dlerror();
    return e ? e : "";
}

}  // namespace OSKIT2
