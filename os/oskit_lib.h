#ifndef OSKIT2_LIB_H
#define OSKIT2_LIB_H

// Dynamic library loader of liboskit. "dir\\name" and "dir/name" both load
// "dir/libname.so". One object holds at most one library; it is not locked.
//
//   OSKIT2::CLib lib;
//   if (lib.Load("plugins/codec")) { auto f = (int (*)(int))lib.LoadFunc("codec_run"); }

namespace OSKIT2 {

class CLib {
public:
    CLib();
    ~CLib();
    // Lazy binding; releases a previously loaded library first. The handle, or
    // null (also when the file's full path does not fit m_szPath).
    void* Load(const char* name);
    // Immediate binding, otherwise as Load.
    void* LoadEx(const char* name);
    void* LoadFunc(const char* symbol);
    // 0 on success, 1 when nothing is loaded or closing fails.
    int Free();
    const char* GetLastErrorInfo();
    const char* GetName() const { return m_szLibName; }
    // Full path of the file the loader opened.
    const char* GetPath() const { return m_szPath; }
    void* GetHandle() const { return m_hLib; }
    bool operator!() const { return m_hLib == nullptr; }

    // Back-slashes become "/", the last component x becomes "libx.so".
    // Writes at most cap bytes; false when the result does not fit.
    static bool ConvertFileName(const char* name, char* out, unsigned cap);

    CLib(const CLib&) = delete;
    CLib& operator=(const CLib&) = delete;

private:
    void* Open(const char* name, int mode);
    void* m_hLib;
    char m_szLibName[256];
    char m_szPath[256];
};

}  // namespace OSKIT2

#endif
