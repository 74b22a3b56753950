#include "runtime/daemon/Agent.h"

int main(int argc, char** argv) {
    return CfgAgent::AgentMain(argc, argv);
}
