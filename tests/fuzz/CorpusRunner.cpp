// Runs a fuzz target without libFuzzer, as a test: every file of the given corpus
// directories as it is, then a fixed set of mutations of each (bytes changed, inserted
// and removed, cuts, 32-bit fields set to edge values), the same on every run. A target
// that finds a fault aborts, as it would under libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Input = std::vector<std::uint8_t>;

constexpr int MUTATIONS_PER_INPUT = 4000;
constexpr std::uint32_t SEED = 20240611;

Input ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Input(std::istreambuf_iterator<char>(in), {});
}

void PutInt(Input& input, std::size_t at, std::int32_t value) {
    for (int i = 0; i < 4 && at + i < input.size(); ++i) {
        input[at + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (8 * i));
    }
}

Input Mutate(Input input, std::mt19937& random) {
    static const std::int32_t edges[] = {0, 1, -1, 255, 1000, 1001, 10000, 10001, 0x7FFFFFFF,
                                         INT32_MIN};
    const int steps = 1 + static_cast<int>(random() % 4);
    for (int step = 0; step < steps; ++step) {
        const std::size_t at = input.empty() ? 0 : random() % input.size();
        switch (random() % 5) {
            case 0:
                if (!input.empty()) input[at] = static_cast<std::uint8_t>(random());
                break;
            case 1:
                input.insert(input.begin() + static_cast<long>(at), static_cast<std::uint8_t>(random()));
                break;
            case 2:
                if (!input.empty()) {
                    const std::size_t length = 1 + random() % std::min<std::size_t>(8, input.size() - at);
                    input.erase(input.begin() + static_cast<long>(at),
                                input.begin() + static_cast<long>(at + length));
                }
                break;
            case 3:
                input.resize(at);
                break;
            default:
                PutInt(input, at, edges[random() % std::size(edges)]);
                break;
        }
    }
    return input;
}

void Run(const Input& input) { LLVMFuzzerTestOneInput(input.data(), input.size()); }

}  // namespace

int main(int argc, char** argv) {
    std::vector<Input> corpus;
    for (int i = 1; i < argc; ++i) {
        for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
            if (entry.is_regular_file()) {
                corpus.push_back(ReadFile(entry.path()));
            }
        }
    }
    if (corpus.empty()) {
        std::fprintf(stderr, "usage: %s CORPUS_DIRECTORY...: no inputs found\n", argv[0]);
        return 1;
    }
    std::mt19937 random(SEED);
    std::size_t runs = 0;
    for (const Input& input : corpus) {
        Run(input);
        ++runs;
        for (int i = 0; i < MUTATIONS_PER_INPUT; ++i, ++runs) {
            Run(Mutate(input, random));
        }
    }
    std::printf("%zu inputs from %zu corpus files passed\n", runs, corpus.size());
    return 0;
}
