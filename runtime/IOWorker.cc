#include "runtime/IOWorker.h"

namespace CfgAgent {

IOWorker::IOWorker(boost::asio::io_context& io)
    : io_(io),
      guard_(std::make_unique<
             boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>(
          io.get_executor())) {}

IOWorker::~IOWorker() = default;

void IOWorker::run() {
    io_.run();
}

void IOWorker::DropGuard() {
    if (guard_)
        guard_->reset();
}

}  // namespace CfgAgent
