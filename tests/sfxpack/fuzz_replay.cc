// Runs files through the fuzz target without the fuzzer: every build
// replays the committed corpus, so a known crash input fails the tests.
//   fuzz_replay FILE_OR_DIR...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            for (const auto& e : fs::directory_iterator(argv[i]))
                if (e.is_regular_file())
                    files.push_back(e.path());
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "fuzz_replay: no input files\n");
        return 1;
    }
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.eof() && in.fail()) {
            std::fprintf(stderr, "fuzz_replay: cannot read %s\n", path.c_str());
            return 1;
        }
        std::printf("%s (%zu bytes)\n", path.c_str(), data.size());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
