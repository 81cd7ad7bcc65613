// The entry point of a fuzz target in the ordinary build: every file named on
// the command line, or found in a folder named there, is run once through
// LLVMFuzzerTestOneInput, in name order. A folder that does not exist counts
// as empty; no input at all is a failure, since every target has seeds.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        // Absolute: a target may change the working folder.
        std::error_code error;
        const fs::path arg = fs::absolute(argv[i], error);
        if (fs::is_directory(arg, error)) {
            for (const fs::directory_entry& entry : fs::directory_iterator(arg, error))
                if (entry.is_regular_file())
                    inputs.push_back(entry.path());
        } else if (fs::is_regular_file(arg, error)) {
            inputs.push_back(arg);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs found\n");
        return 1;
    }
    for (const fs::path& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.eof() && in.fail()) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        // An empty vector's data() may be null; libFuzzer never passes null.
        static const std::uint8_t empty = 0;
        LLVMFuzzerTestOneInput(bytes.empty() ? &empty : reinterpret_cast<const std::uint8_t*>(bytes.data()),
                               bytes.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
