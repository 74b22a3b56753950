#pragma once
// An io_context run by one thread of its own for the database clients a benchmark holds; stopped
// and joined on destruction.
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace ozy::bench {

struct IoThread {
    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{
        io.get_executor()};
    std::thread thread{[this] { io.run(); }};
    ~IoThread() {
        guard.reset();
        io.stop();
        thread.join();
    }
};

}  // namespace ozy::bench
