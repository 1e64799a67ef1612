// Runs a fuzz target's checks over the files of its seed corpus, without libFuzzer, so every
// build keeps the committed inputs passing.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    size_t inputs = 0;
    for (int a = 1; a < argc; ++a) {
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(argv[a])) {
            for (const auto &entry : std::filesystem::directory_iterator(argv[a]))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
        } else {
            files.emplace_back(argv[a]);
        }
        for (const auto &file : files) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++inputs;
        }
    }
    std::printf("replayed %zu inputs\n", inputs);
    return inputs > 0 ? 0 : 1;
}
