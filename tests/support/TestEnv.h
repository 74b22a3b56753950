#pragma once
// Where the tests find the built programs and the sources, and free loopback ports.
#include <string>

namespace CfgAgent::test {

// Directory of the built programs (OZY_BIN_DIR, set by ctest).
std::string BinDir();
std::string BinPath(const std::string& program);
// For programs run by hand (benchmarks): when OZY_BIN_DIR is not set, sets it to the directory of
// the running program, where the other programs of its build are.
void UseOwnBinDir();
// The source tree (OZY_SOURCE_DIR, set by ctest).
std::string SourceDir();
// A TCP port on 127.0.0.1 that was free a moment ago, outside the range the kernel hands out to
// sockets bound to port 0 and to outgoing connections.
int FreeTcpPort();
// The first of `count` consecutive TCP ports on 127.0.0.1 that were free a moment ago, for a
// program that derives ports from one it is given.
int FreeTcpPortRun(int count);

}  // namespace CfgAgent::test
