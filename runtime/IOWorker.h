#pragma once
// Runs one io context's run() loop as a work item. The guard keeps run() from returning while the
// worker holds it; DropGuard() (or destruction) lets the loop end once the context has no work.
#include <memory>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "runtime/RefCounted.h"

namespace CfgAgent {

class IOWorker : public RefCounter<IOWorker> {
  public:
    explicit IOWorker(boost::asio::io_context& io);
    ~IOWorker();
    void run();
    void DropGuard();

  private:
    boost::asio::io_context& io_;
    std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
        guard_;
};

}  // namespace CfgAgent
