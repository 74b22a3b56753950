// Fuzz target: any bytes as an uncompressed tar stream unpacked into a scratch directory. Whatever
// the reader accepts or refuses, nothing appears beside that directory and no link inside it.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "ids/IDSUntar.h"
#include "runtime/Logger.h"

namespace {

namespace fs = std::filesystem;

// The scratch root, kept in a plain buffer so that the exit handler can still read it.
char g_root[512];

const char* Root() {
    if (g_root[0] == '\0') {
        std::string t = (fs::temp_directory_path() / "ids-untar-fuzz-XXXXXX").string();
        if (t.size() >= sizeof(g_root) || ::mkdtemp(t.data()) == nullptr) {
            std::abort();
        }
        t.copy(g_root, t.size());
        std::ofstream(t + "/sentinel") << "keep";
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(g_root, ec);
        });
    }
    return g_root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CfgAgent::g_idsLogLevel = CfgAgent::kLogOff;
    const std::string root = Root();
    std::string base = root + "/base";
    std::error_code ec;
    fs::remove_all(base, ec);
    fs::create_directory(base);
    CfgAgent::IDSUntar untar(1 << 20);
    (void)untar.ExtractTar(std::string_view(reinterpret_cast<const char*>(data), size), base);
    size_t entries = 0;
    for (const auto& e : fs::directory_iterator(root)) {
        std::string name = e.path().filename().string();
        if (name != "base" && name != "sentinel") {
            std::abort();
        }
        ++entries;
    }
    if (entries != 2 || fs::file_size(root + "/sentinel") != 4) {
        std::abort();
    }
    for (const auto& e : fs::recursive_directory_iterator(base)) {
        if (e.is_symlink()) {
            std::abort();
        }
    }
    return 0;
}
