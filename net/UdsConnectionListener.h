#pragma once
// The listener of Unix-domain connections and of their server: the same calls as a TCP
// connection's listener.
#include "net/TcpConnectionListener.h"

namespace Common {

class UdsConnectionListener : public TcpConnectionListener {};

}  // namespace Common
