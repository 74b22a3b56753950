#pragma once
// The BFD phase of ozy-bench-l2app ("ozy-bench-l2app bfd [VNIS] [REMOTES] [ROUNDS]"): see
// BfdBench.cc.
namespace ozy::bench {

int RunBfdBench(unsigned vnis, unsigned remotes, unsigned rounds);

}  // namespace ozy::bench
