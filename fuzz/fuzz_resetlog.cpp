// The check of the reset record "./.reset_log" made by the monitor server.
// Input: one byte for the reader's buffer size (1..64), then the file. A
// record accepted must fit in the buffer, terminated, and have the shape
// of "YYYYMMDD hh:mm:ss quay" or "YYYYMMDD hh:mm:ss quay_tool".

#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "gt_monitorServer.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The record is read relative to the working folder.
    QFUZZ_CHECK(chdir(qfuzz::ScratchDir().c_str()) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qfuzz::Reader in(data, size);
    const int len = 1 + in.Byte() % 64;
    qfuzz::WriteFile("./.reset_log", in.Rest(), in.Left());

    std::vector<char> buf(static_cast<size_t>(len));
    if (!CGtMonitorServer::GetInstance()->GetLastResetTime(buf.data(), len)) return 0;
    QFUZZ_CHECK(memchr(buf.data(), '\0', buf.size()) != nullptr);
    const std::string rec = buf.data();
    QFUZZ_CHECK(rec.size() == 22 || rec.size() == 27);
    QFUZZ_CHECK(isdigit(static_cast<unsigned char>(rec[7])) && rec[8] == ' ');
    QFUZZ_CHECK(rec[11] == ':' && rec[14] == ':' && rec[17] == ' ' && rec.compare(18, 4, "quay") == 0);
    return 0;
}
