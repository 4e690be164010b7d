#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "server/Device.hpp"
#include "services/PDO_Channel.hpp"
#include "services/PDO_Service.hpp"
#include "support/Pty_Pair.hpp"
#include "support/Test_Helpers.hpp"

// What the PDO service tests share: a PDO context on its own thread, devices on pseudo-terminals,
// endpoints on the loopback interface and polling with a deadline.
namespace Quorin_Test::PDO {

using namespace std::chrono_literals;
using boost::asio::ip::udp;
using Quorin_Core::Device;
using Quorin_Core::PDO_Service;
using Channel = PDO_Service::Channel;

/// The PDO context, run by its own thread until the object goes.
struct PDO_Thread {
    boost::asio::io_context context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};
    std::thread thread{[this] { context.run(); }};

    ~PDO_Thread() {
        work.reset();
        context.stop();
        thread.join();
    }
};

/// A device on a pseudo-terminal of its own; its session is not started.
struct Pty_Device {
    explicit Pty_Device(const std::string& name)
        : device(std::make_shared<Device>(name, pty.port_path(), 115200, false)) {}
    Pty_Pair pty;
    std::shared_ptr<Device> device;
};

inline udp::endpoint loopback(unsigned short port) {
    return {boost::asio::ip::make_address("127.0.0.1"), port};
}

}  // namespace Quorin_Test::PDO
