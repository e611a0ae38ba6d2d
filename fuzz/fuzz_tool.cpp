// The numeric arguments of quay_tool: "debug read ADDR LEN", "debug write
// ADDR LEN VALUE" and "mip2mac IP", run through the tool's dispatcher
// against a stand-in card (a 1 MiB file behind the XDMA driver) in a scratch
// configuration folder, with lspci and lsmod answering for one Xilinx card.
//
// Input: a command byte (0 read, 1 write, 2 mip2mac), then the arguments
// separated by NUL bytes. The commands that repeat a reading for a number of
// seconds are left out: their argument is a duration.

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "gt_codec.h"
#include "gt_fpgaService.h"
#include "quay_tool.h"

namespace {

std::string ReadSource(const char* rel)
{
    std::ifstream in(std::string(QUAY_SOURCE_DIR) + "/" + rel, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    QFUZZ_CHECK(in.good() || in.eof());
    return ss.str();
}

void FakeCommand(const std::string& bin, const char* name, const char* output)
{
    std::string path = bin + "/" + name;
    std::string script = std::string("#!/bin/sh\nprintf '%s' '") + output + "'\n";
    qfuzz::WriteFile(path, script.data(), script.size());
    QFUZZ_CHECK(chmod(path.c_str(), 0755) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const std::string& dir = qfuzz::ScratchDir();
    const std::string card = dir + "/card.xdma";
    std::vector<uint8_t> mem(1 << 20);
    // Old-layout firmware code 1, version 0x005, in the version register.
    mem[6] = 0x05;
    mem[7] = 0x10;
    qfuzz::WriteFile(card, mem.data(), mem.size());

    std::string ini = ReadSource("data/quay.ini");
    for (const char* key : {"dev_write =", "dev_read ="}) {
        size_t at = ini.find(std::string("\n") + key);
        QFUZZ_CHECK(at != std::string::npos);
        ini.insert(at + 1 + strlen(key), " " + card);
    }
    qfuzz::WriteFile(dir + "/quay.ini", ini.data(), ini.size());
    std::string xml = ReadSource("data/cfg.xml");
    std::string bin = gtcodec::Encode(reinterpret_cast<const uint8_t*>(xml.data()), xml.size());
    qfuzz::WriteFile(dir + "/bin", bin.data(), bin.size());

    const std::string cmds = dir + "/cmds";
    QFUZZ_CHECK(mkdir(cmds.c_str(), 0755) == 0);
    FakeCommand(cmds, "lspci", "d8:00.0 Memory controller: Xilinx Corporation Device 903f\\n");
    FakeCommand(cmds, "lsmod", "xdma                  110592  0\\n");
    const char* path = getenv("PATH");
    setenv("PATH", (cmds + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    QFUZZ_CHECK(chdir(dir.c_str()) == 0);
    g_bIsQuayTool = true;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qfuzz::Reader in(data, size);
    const int cmd = in.Byte() % 3;
    std::vector<std::string> args = {"quay_tool"};
    if (cmd == 2) {
        args.push_back("mip2mac");
    } else {
        args.push_back("debug");
        args.push_back(cmd == 0 ? "read" : "write");
    }
    const size_t want = cmd == 0 ? 2 : cmd == 1 ? 3 : 1;
    std::string rest = in.Take(in.Left());
    for (size_t i = 0; i < want; ++i) {
        size_t nul = rest.find('\0');
        args.push_back(rest.substr(0, nul));
        rest = nul == std::string::npos ? std::string() : rest.substr(nul + 1);
    }

    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    doWork(static_cast<int>(args.size()), argv.data());
    release();
    return 0;
}
