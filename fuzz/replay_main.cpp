// A main for the harnesses without libFuzzer: runs LLVMFuzzerTestOneInput once on every file
// named on the command line, and on every file below each directory named (in path order).
// Ordinary builds link this, so the harnesses are compiled with every build and cannot rot,
// and ctest replays the seed corpus and past findings under the build's sanitizers.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" [[gnu::weak]] int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<std::filesystem::path> inputs_of(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path = argv[i];
        if (!std::filesystem::is_directory(path)) {
            files.push_back(path);
            continue;
        }
        for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
            if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    const std::vector<std::filesystem::path> files = inputs_of(argc, argv);
    for (const std::filesystem::path& file : files) {
        std::ifstream in(file, std::ios::binary | std::ios::ate);
        const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
        std::vector<char> bytes(size > 0 ? static_cast<std::size_t>(size) : 0);
        if (size < 0 || !in.seekg(0) || !in.read(bytes.data(), size)) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        std::fprintf(stderr, "replaying %s (%zu octets)\n", file.c_str(), bytes.size());
        // A copy of exactly the input's size, so that reading past it is caught by ASan.
        const std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), copy.get());
        LLVMFuzzerTestOneInput(copy.get(), bytes.size());
    }
    std::fprintf(stderr, "replayed %zu inputs\n", files.size());
    // An empty replay is a mistake in the corpus path, not a pass.
    return files.empty() ? 1 : 0;
}
