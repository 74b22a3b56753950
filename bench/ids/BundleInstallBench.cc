// A curated signature bundle (40,000 rules in 40 rules files, about 12 MB unpacked) made by GNU
// tar in the run, installed into a fresh configuration directory by the agent's tar reader
// (IDSUntar::Install: inflate, unpack into a staging directory, swap in), beside `tar -xzf` of the
// same archive into a fresh directory. Median of 5 rounds each; prints both and their ratio.
//
//   bench_ids_bundle [--rounds N]
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchFigures.h"
#include "ids/IDSUntar.h"
#include "runtime/Logger.h"

namespace {

namespace fs = std::filesystem;
using ozy::bench::Check;
using ozy::bench::Clock;
using ozy::bench::Median;
using ozy::bench::Ms;

bool Run(const std::vector<std::string>& args) {
    pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

std::string MakeBundle(const fs::path& dir) {
    fs::path src = dir / "src";
    fs::create_directories(src / "rules");
    uint64_t sid = 2000000;
    for (int f = 0; f < 40; ++f) {
        std::ofstream out(src / "rules" / ("emerging-" + std::to_string(f) + ".rules"));
        for (int i = 0; i < 1000; ++i, ++sid) {
            out << "alert tcp $HOME_NET any -> $EXTERNAL_NET [80,443,8080] (msg:\"ET POLICY "
                   "curated signature "
                << sid
                << " outbound request\"; flow:established,to_server; content:\"GET\"; "
                   "http_method; content:\"/x/"
                << sid % 977 << "/\"; http_uri; classtype:policy-violation; sid:" << sid
                << "; rev:3; metadata:created_at 2026_01_01, updated_at 2026_11_30;)\n";
        }
    }
    std::ofstream(src / "classification.config") << "config classification: policy-violation\n";
    std::string archive = (dir / "signatures.tgz").string();
    Check(Run({"tar", "-czf", archive, "-C", src.string(), "."}), "tar -czf");
    std::ifstream in(archive, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0) {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    CfgAgent::g_idsLogLevel = CfgAgent::kLogError;
    std::string tmpl = (fs::temp_directory_path() / "bench-ids-XXXXXX").string();
    Check(::mkdtemp(tmpl.data()) != nullptr, "mkdtemp");
    fs::path dir(tmpl);
    std::string gz = MakeBundle(dir);
    std::string archive = (dir / "signatures.tgz").string();

    std::vector<double> ours, gnu;
    CfgAgent::IDSUntar untar;
    for (int r = 0; r < rounds; ++r) {
        fs::path conf = dir / ("conf-" + std::to_string(r));
        fs::create_directories(conf / "bundles");
        auto t0 = Clock::now();
        Check(untar.Install(gz, (conf / "bundles/system").string(), "signatures.tgz") ==
                  CfgAgent::IDSUntarStatus::kOk,
              "IDSUntar::Install");
        ours.push_back(Ms(Clock::now() - t0));

        fs::path plain = dir / ("tar-" + std::to_string(r));
        fs::create_directories(plain);
        t0 = Clock::now();
        Check(Run({"tar", "-xzf", archive, "-C", plain.string()}), "tar -xzf");
        gnu.push_back(Ms(Clock::now() - t0));
        fs::remove_all(conf);
        fs::remove_all(plain);
    }
    uintmax_t unpacked = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir / "src")) {
        if (e.is_regular_file()) {
            unpacked += e.file_size();
        }
    }
    double a = Median(ours);
    double b = Median(gnu);
    std::printf("bundle: 40000 rules, %.1f MB unpacked, %.1f MB compressed\n", unpacked / 1e6,
                gz.size() / 1e6);
    std::printf("IDSUntar::Install median %.1f ms, tar -xzf median %.1f ms, ratio %.2f\n", a, b,
                a / b);
    fs::remove_all(dir);
    return 0;
}
