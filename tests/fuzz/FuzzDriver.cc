// Runs a fuzz target without libFuzzer: every file of the seed corpus (a directory given on the
// command line, or single files), then a bounded number of deterministic mutations of each
// (OZY_FUZZ_ITERATIONS per seed, default 300). Crashes and sanitizer reports fail the run.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> CollectInputs(const std::string& path) {
    std::vector<std::string> files;
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return files;
    if (S_ISDIR(st.st_mode)) {
        DIR* d = opendir(path.c_str());
        if (d == nullptr)
            return files;
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            auto sub = CollectInputs(path + "/" + name);
            files.insert(files.end(), sub.begin(), sub.end());
        }
        closedir(d);
    } else {
        files.push_back(path);
    }
    return files;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Mutate(std::string& s, std::mt19937& rng) {
    int kind = static_cast<int>(rng() % 6);
    if (s.empty())
        kind = 3;
    size_t pos = s.empty() ? 0 : rng() % s.size();
    switch (kind) {
        case 0:
            s[pos] = static_cast<char>(s[pos] ^ (1u << (rng() % 8)));
            break;
        case 1:
            s[pos] = static_cast<char>(rng());
            break;
        case 2:
            s.resize(pos);
            break;
        case 3:
            s.insert(pos, 1, static_cast<char>(rng()));
            break;
        case 4:
            if (!s.empty())
                s.erase(pos, 1 + rng() % 4);
            break;
        case 5: {
            // Interesting values at a random offset (length fields, sign boundaries).
            static const uint8_t vals[] = {0x00, 0x01, 0x03, 0x04, 0x05, 0x7f, 0x80, 0xff};
            s[pos] = static_cast<char>(vals[rng() % sizeof(vals)]);
            break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        auto sub = CollectInputs(argv[i]);
        inputs.insert(inputs.end(), sub.begin(), sub.end());
    }
    int iterations = 300;
    if (const char* it = getenv("OZY_FUZZ_ITERATIONS"))
        iterations = atoi(it);
    std::mt19937 rng(12345);
    size_t runs = 0;
    LLVMFuzzerTestOneInput(nullptr, 0);
    for (const auto& path : inputs) {
        std::string seed = ReadAll(path);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(seed.data()), seed.size());
        ++runs;
        std::string cur = seed;
        for (int i = 0; i < iterations; ++i) {
            if (i % 16 == 0)
                cur = seed;
            Mutate(cur, rng);
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(cur.data()), cur.size());
            ++runs;
        }
    }
    printf("fuzz driver: %zu seeds, %zu runs, no failure\n", inputs.size(), runs);
    return inputs.empty() ? 1 : 0;
}
