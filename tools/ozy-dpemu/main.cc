// ozy-dpemu: the dataplane emulator. See Emulator.h.
//
//   ozy-dpemu [--host-root DIR] [--FAMILY-endpoint NAME ...] [--log-level LEVEL]
//
// OZY_HOST_ROOT works as --host-root does. Prints "ozy-dpemu: ready" once every socket listens.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/Logger.h"
#include "tools/ozy-dpemu/Emulator.h"
#include "tools/ozy-dpemu/Registry.h"

namespace {

void Usage(FILE* out) {
    std::fprintf(
        out,
        "usage: ozy-dpemu [--host-root DIR] [--log-level LEVEL] [--FAMILY-endpoint NAME]...\n"
        "  --host-root DIR     place every host path under DIR (default: $OZY_HOST_ROOT)\n"
        "  --log-level LEVEL   off, fatal, error, warn, info (default), debug, trace\n");
    for (const auto& f : ozy::dpemu::BuiltinFamilies()) {
        std::fprintf(out, "  --%s-endpoint NAME  %s (default %s)\n", f.name.c_str(),
                     f.description.c_str(), f.defaultEndpoint.c_str());
    }
    std::fprintf(out,
                 "control socket: %s under the host root (ovs-appctl -t SOCKET list-commands)\n",
                 ozy::dpemu::kControlSocket);
}

}  // namespace

int main(int argc, char** argv) {
    ozy::dpemu::EmulatorOptions options;
    int level = CfgAgent::kLogInfo;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ozy-dpemu: %s needs a value\n", arg.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--host-root") {
            if (!value(&v))
                return 2;
            if (v.empty() || v[0] != '/') {
                std::fprintf(stderr, "ozy-dpemu: --host-root needs an absolute directory\n");
                return 2;
            }
            setenv("OZY_HOST_ROOT", v.c_str(), 1);
        } else if (arg == "--log-level") {
            if (!value(&v))
                return 2;
            level = CfgAgent::LogLevelFromName(v);
            if (level < 0) {
                std::fprintf(stderr, "ozy-dpemu: unknown log level \"%s\"\n", v.c_str());
                return 2;
            }
        } else {
            bool matched = false;
            for (const auto& f : ozy::dpemu::BuiltinFamilies()) {
                if (arg == "--" + f.name + "-endpoint") {
                    if (!value(&v))
                        return 2;
                    options.endpoints[f.name] = v;
                    matched = true;
                }
            }
            if (!matched) {
                std::fprintf(stderr, "ozy-dpemu: unknown option \"%s\"\n", arg.c_str());
                Usage(stderr);
                return 2;
            }
        }
    }
    // The emulator's records name it, not the agent.
    CfgAgent::Logger::setSubcomponent("ozy-dpemu");
    CfgAgent::Logger::setSyslog(false);
    CfgAgent::Logger::setConsole(true);
    CfgAgent::Logger::setLevel(level);

    ozy::dpemu::Emulator emulator(std::move(options));
    if (!emulator.Start()) {
        return 1;
    }
    emulator.Run();
    return 0;
}
