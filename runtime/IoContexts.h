#pragma once
// The two process-wide io contexts. The io context carries every socket and every AsyncTimer and is
// run by as many IOWorker items as there are io threads; the serial context is run by exactly one
// and carries work that must not run concurrently with itself.
namespace boost::asio {
class io_context;
}

namespace CfgAgent {

boost::asio::io_context& IoContext();
boost::asio::io_context& SerialContext();

}  // namespace CfgAgent
