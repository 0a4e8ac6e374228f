// Replays a fuzz corpus through a target's entry point, for the ordinary test
// suite: every file in the folders (or the files) named on the command line is
// fed once. A crash or a sanitizer report fails the test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size);

namespace {
void replay(std::filesystem::path const& file, unsigned& count) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the file's size, so out-of-bounds reads are caught.
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
    ++count;
}
} // namespace

int main(int argc, char** argv) {
    unsigned count = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (auto const& entry : std::filesystem::recursive_directory_iterator(p))
                if (entry.is_regular_file()) replay(entry.path(), count);
        } else {
            replay(p, count);
        }
    }
    std::printf("replayed %u inputs\n", count);
    return count == 0 ? 1 : 0;
}
