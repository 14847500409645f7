// Plain driver for a fuzz target's oracle checks, linked in place of libFuzzer
// where libFuzzer is not available (cross-compiled cores run under qemu, or a
// quick native check): runs LLVMFuzzerTestOneInput on every seed file and on
// a fixed, reproducible set of mutations of each seed.
//
// Usage: oracle_main [-n MUTATIONS_PER_SEED] [-m MAX_LEN] [-s SEED] [-o FILE] PATH...
// Each PATH is a seed file or a directory of them (read in name order). A
// failed oracle aborts the process (fuzz_check.hpp), so the exit status is
// non-zero; the abort also prints which seed and mutation was running and,
// with -o, writes the failing input to FILE (to replay it: oracle_main -n 0 FILE).
#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Defined only by targets that need set-up (the reader sets the C locale).
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

using Bytes = std::vector<std::uint8_t>;

// Defaults: a few thousand mutations per seed keeps a target within a minute
// or two under qemu; 4096 bytes is the reader's libFuzzer max_len.
constexpr unsigned long kDefaultMutations = 2000;
constexpr std::size_t kDefaultMaxLen = 4096;
constexpr std::uint64_t kDefaultSeed = 0x6174'6f6d'626c'6f63;  // "atombloc" in ASCII
// Longest run of bytes one insertion or deletion touches.
constexpr std::size_t kMaxRunBytes = 16;
// Mutation steps stacked on one input: 1 to kMaxStackedSteps.
constexpr unsigned kMaxStackedSteps = 4;
// Bytes the mutator favours: separators, signs, digits, the float grammar's
// letters and the boolean words' first letters, so mutations reach tokens.
constexpr char kInterestingBytes[] = " \t\n\r\f+-.0123456789eEinfaINFAtTfF";
constexpr std::size_t kByteValues = 256;
constexpr unsigned kBitsPerByte = 8;

// splitmix64: a full-period 64-bit generator, the same stream on every host
// (no dependence on the standard library's distributions).
class Prng {
public:
    explicit Prng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E37'79B9'7F4A'7C15);  // 2^64 / golden ratio
        z = (z ^ (z >> 30)) * 0xBF58'476D'1CE4'E5B9;
        z = (z ^ (z >> 27)) * 0x94D0'49BB'1331'11EB;
        return z ^ (z >> 31);
    }
    // Uniform enough in [0, bound) for bound far below 2^64; bound > 0.
    std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }
    std::uint8_t byte() {
        if (below(2) == 0)
            return static_cast<std::uint8_t>(
                kInterestingBytes[below(sizeof kInterestingBytes - 1)]);
        return static_cast<std::uint8_t>(below(kByteValues));
    }

private:
    std::uint64_t state_;
};

struct Seed {
    std::string name;
    Bytes bytes;
};

// What is being run, printed (and its bytes saved) if an oracle aborts.
constexpr std::size_t kLabelBytes = 512;
char g_current[kLabelBytes] = "";
const char* g_failure_path = nullptr;
const std::uint8_t* g_input = nullptr;
std::size_t g_input_size = 0;
constexpr mode_t kFileMode = 0644;  // rw-r--r--

extern "C" void report_current(int) {
    // Only async-signal-safe calls here: the message is already formatted.
    const char prefix[] = "oracle_main: failing input: ";
    [[maybe_unused]] auto a = write(2, prefix, sizeof prefix - 1);
    [[maybe_unused]] auto b = write(2, g_current, std::strlen(g_current));
    [[maybe_unused]] auto c = write(2, "\n", 1);
    if (g_failure_path != nullptr && g_input != nullptr) {
        const int fd = open(g_failure_path, O_WRONLY | O_CREAT | O_TRUNC, kFileMode);
        if (fd >= 0) {
            [[maybe_unused]] auto d = write(fd, g_input, g_input_size);
            close(fd);
        }
    }
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
}

Bytes read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "oracle_main: cannot read %s\n", path.string().c_str());
        std::exit(2);
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void collect(const std::filesystem::path& path, std::vector<Seed>& seeds) {
    if (std::filesystem::is_directory(path)) {
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(path))
            if (entry.is_regular_file()) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const auto& file : files) seeds.push_back({file.string(), read_file(file)});
    } else {
        seeds.push_back({path.string(), read_file(path)});
    }
}

// One mutation step: a bit flip, a byte overwrite, an insertion, a deletion,
// or a splice with another seed (a piece of it replaces the tail from a cut).
void mutate_once(Bytes& data, const std::vector<Seed>& seeds, Prng& rng) {
    enum Step { flip_bit, set_byte, insert_run, delete_run, splice, kSteps };
    switch (static_cast<Step>(rng.below(kSteps))) {
        case flip_bit:
            if (!data.empty())
                data[rng.below(data.size())] ^=
                    static_cast<std::uint8_t>(1u << rng.below(kBitsPerByte));
            break;
        case set_byte:
            if (!data.empty()) data[rng.below(data.size())] = rng.byte();
            break;
        case insert_run: {
            const std::size_t at = rng.below(data.size() + 1);
            const std::size_t n = 1 + rng.below(kMaxRunBytes);
            Bytes run(n);
            if (rng.below(2) == 0 && !data.empty()) {
                std::fill(run.begin(), run.end(), data[rng.below(data.size())]);  // repeated byte
            } else {
                for (auto& b : run) b = rng.byte();
            }
            data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), run.begin(), run.end());
            break;
        }
        case delete_run:
            if (!data.empty()) {
                const std::size_t at = rng.below(data.size());
                const std::size_t n = std::min(data.size() - at, 1 + rng.below(kMaxRunBytes));
                data.erase(data.begin() + static_cast<std::ptrdiff_t>(at),
                           data.begin() + static_cast<std::ptrdiff_t>(at + n));
            }
            break;
        case splice: {
            const Bytes& other = seeds[rng.below(seeds.size())].bytes;
            const std::size_t cut = rng.below(data.size() + 1);
            const std::size_t from = rng.below(other.size() + 1);
            const std::size_t n = rng.below(other.size() - from + 1);
            data.resize(cut);
            data.insert(data.end(), other.begin() + static_cast<std::ptrdiff_t>(from),
                        other.begin() + static_cast<std::ptrdiff_t>(from + n));
            break;
        }
        case kSteps: break;
    }
}

// Runs one input from a heap block of exactly its size, as libFuzzer does, so
// a sanitizer build sees any read past its end.
void run_input(const Bytes& data) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[data.size()]);
    if (!data.empty()) std::memcpy(copy.get(), data.data(), data.size());
    g_input = copy.get();
    g_input_size = data.size();
    LLVMFuzzerTestOneInput(copy.get(), data.size());
    g_input = nullptr;
}

[[noreturn]] void usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [-n MUTATIONS_PER_SEED] [-m MAX_LEN] [-s SEED] [-o FILE] PATH...\n",
                 program);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long mutations = kDefaultMutations;
    std::size_t max_len = kDefaultMaxLen;
    std::uint64_t seed = kDefaultSeed;
    std::vector<Seed> seeds;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "-n" && has_value) {
            mutations = std::strtoul(argv[++i], nullptr, 0);
        } else if (arg == "-m" && has_value) {
            max_len = std::strtoul(argv[++i], nullptr, 0);
        } else if (arg == "-s" && has_value) {
            seed = std::strtoull(argv[++i], nullptr, 0);
        } else if (arg == "-o" && has_value) {
            g_failure_path = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            usage(argv[0]);
        } else {
            collect(arg, seeds);
        }
    }
    if (seeds.empty()) usage(argv[0]);
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    std::signal(SIGABRT, report_current);

    unsigned long long runs = 0;
    for (std::size_t s = 0; s < seeds.size(); ++s) {
        std::snprintf(g_current, sizeof g_current, "seed %s unmutated", seeds[s].name.c_str());
        run_input(seeds[s].bytes);
        ++runs;
        // One stream per seed, so a failure is re-made from its seed alone.
        Prng rng(seed ^
                 (0x9E37'79B9'7F4A'7C15 * (s + 1)));  // golden-ratio spread of the seed index
        for (unsigned long m = 0; m < mutations; ++m) {
            Bytes data = seeds[s].bytes;
            const unsigned steps = 1 + static_cast<unsigned>(rng.below(kMaxStackedSteps));
            for (unsigned k = 0; k < steps; ++k) mutate_once(data, seeds, rng);
            if (data.size() > max_len) data.resize(max_len);
            std::snprintf(g_current, sizeof g_current,
                          "seed %s mutation %lu (-s %llu -n %lu -m %zu)", seeds[s].name.c_str(), m,
                          static_cast<unsigned long long>(seed), mutations, max_len);
            run_input(data);
            ++runs;
        }
    }
    std::printf("%zu seeds, %llu inputs, all oracles passed\n", seeds.size(), runs);
    return 0;
}
