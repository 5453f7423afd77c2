// Runs a libFuzzer harness over files without libFuzzer: every argument is
// a file, or a directory whose files are each run once. Exits non-zero when
// an argument cannot be read; a failed property aborts inside the harness.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool replay_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            for (const auto &entry : std::filesystem::directory_iterator(arg)) {
                if (!entry.is_regular_file()) continue;
                if (!replay_file(entry.path())) {
                    std::fprintf(stderr, "cannot read %s\n", entry.path().c_str());
                    return 2;
                }
                ++runs;
            }
        } else if (!replay_file(arg)) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 2;
        } else {
            ++runs;
        }
    }
    std::printf("replayed %zu inputs\n", runs);
    return runs > 0 ? 0 : 1;
}
