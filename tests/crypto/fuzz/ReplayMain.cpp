// Runs the fuzz target's checks over every file of a corpus directory, for builds without
// libFuzzer, so the committed seeds are exercised by every test run.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    DIR *dir = opendir(argv[1]);
    if (dir == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    int files = 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string path = std::string(argv[1]) + "/" + entry->d_name;
        FILE *f = std::fopen(path.c_str(), "rb");
        if (f == nullptr)
            continue;
        std::vector<uint8_t> data;
        int c;
        while ((c = std::fgetc(f)) != EOF)
            data.push_back(uint8_t(c));
        std::fclose(f);
        LLVMFuzzerTestOneInput(data.data(), data.size());
        ++files;
    }
    closedir(dir);
    std::printf("replayed %d inputs\n", files);
    return files > 0 ? 0 : 1;
}
