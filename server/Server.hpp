#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/Server_Config.hpp"
#include "server/Command_Gate.hpp"
#include "server/Link_Watch.hpp"
#include "services/CTRL_Service.hpp"
#include "services/PDO_Service.hpp"
#include "services/EPID_Ledger.hpp"
#include "services/SDO_Service.hpp"

namespace Quorin_Core {

class Device;

/// The running system: the three service contexts and their threads, the configuration,
/// the control, PDO and SDO services, and the table of named devices.
///
/// Threading: constructed and destroyed on the main thread. Commands on the main thread
/// and on `ctrl_thread` reach `devices` only under `devices_mutex`; the services guard
/// their own tables.
class Server {
public:
    using Config = Server_Config;
    using Work_Guard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;
    /// Runs one command line against the server and appends its reply: the command language,
    /// which lies above the server and is handed in by the program.
    using Command_Interpreter = void (*)(const std::string& line, std::string& reply, Server& server);

    /// Loads the configuration (from `config_file` only when given, else from the search
    /// path), opens the control port and starts the three threads. Throws when the given file
    /// cannot be read, the control port cannot be opened or a thread cannot be started.
    /// Control-port commands wait until open_remote_commands(), then run through `interpreter`.
    explicit Server(Command_Interpreter interpreter, const std::optional<std::string>& config_file = std::nullopt);
    /// Refuses control-port commands and waits for those running, stops every device, then
    /// the services, then joins the threads.
    ~Server();

    /// Lets control-port commands run: the start-up commands are done.
    void open_remote_commands() { command_gate.open(); }
    /// While set (during the start-up commands, with reconnecting on), a bind of a port that
    /// cannot be opened binds the device anyway, to be opened once the port is there.
    void bind_absent_ports(bool waiting) { binds_wait_for_ports = waiting; }

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /// The device of that name, or empty; the copy stays valid after the device is unbound.
    std::shared_ptr<Device> get_device(const std::string& name);
    /// Creates a device called `name` on `port_name` and enters it in the table. False when
    /// the name or port is empty or already in use; throws when the port cannot be opened.
    bool bind_device(const std::string& name, const std::string& port_name);
    /// Stops the device's session and erases it from the table; false when there is none.
    bool unbind_device(const std::string& name);
    /// A copy of the table's devices, in table order.
    std::vector<std::shared_ptr<Device>> list_devices();
    /// Stops every device's session, then empties the table.
    void unbind_all_devices();

private:
    static constexpr std::uint8_t max_ctrl_connections = 8;

    // Declared in the order they are built: the contexts outlive the services that use them.
    boost::asio::io_context ctrl_context;
    boost::asio::io_context pdo_context;
    boost::asio::io_context sdo_context;
    Work_Guard ctrl_work;
    Work_Guard pdo_work;
    Work_Guard sdo_work;
    std::unordered_map<std::string, std::shared_ptr<Device>> devices;
    /// The account of a deleted device's SDO answers, by its port, with the run time it had:
    /// the device on the other end may still send them, and the next device bound to that
    /// port must not hand them to its own clients. Under `devices_mutex`.
    struct Left_Ledger {
        std::shared_ptr<EPID_Ledger> ledger;
        std::chrono::nanoseconds run_time;
    };
    std::unordered_map<std::string, Left_Ledger> left_ledgers;
    std::thread pdo_thread;
    std::thread sdo_thread;
    std::thread ctrl_thread;
    std::mutex devices_mutex;
    Config config;

public:
    /// The services, for the commands.
    std::unique_ptr<CTRL_Service> ctrl_service;
    std::unique_ptr<PDO_Service> pdo_service;
    std::unique_ptr<SDO_Service> sdo_service;

private:
    /// Control-port commands pass it; closed when shutdown begins.
    Command_Gate command_gate;
    /// Reopens lost ports; only with `[device] reconnect_ms` above 0.
    std::unique_ptr<Link_Watch> link_watch;

    void start_threads();
    /// A control-port line through the gate and the interpreter; the whole reply.
    std::string run_remote_line(const std::string& line);

    const Command_Interpreter interpreter;
    std::shared_ptr<Device> make_device(const std::string& name, const std::string& port_name,
                                        const std::shared_ptr<EPID_Ledger>& ledger);

    std::atomic<bool> binds_wait_for_ports{false};
    void stop_contexts();
    void join_threads();
};

}  // namespace Quorin_Core
