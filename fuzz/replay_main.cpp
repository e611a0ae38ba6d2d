// Replays a fuzz target's corpus without libFuzzer: every file named on the
// command line, and every file of every folder named there, is handed once
// to LLVMFuzzerTestOneInput. Used by the ordinary build so the committed
// corpora run as tests (under the sanitizers too, in the ASan build).

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

void Collect(const std::string& path, std::vector<std::string>& files)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    if (S_ISREG(st.st_mode)) {
        files.push_back(path);
        return;
    }
    if (!S_ISDIR(st.st_mode)) return;
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        Collect(path + "/" + e->d_name, files);
    }
    closedir(d);
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) Collect(argv[i], files);
    // After the collection: a target may change the working folder.
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        fprintf(stderr, "replay: no input found\n");
        return 1;
    }
    for (const std::string& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // An exact-size heap copy, so a read past the end is caught by ASan.
        uint8_t* copy = new uint8_t[data.size() ? data.size() : 1];
        std::copy(data.begin(), data.end(), copy);
        LLVMFuzzerTestOneInput(copy, data.size());
        delete[] copy;
    }
    fprintf(stderr, "replay: %zu inputs\n", files.size());
    return 0;
}
