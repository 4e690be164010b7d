#include "server/Server.hpp"

#include <stdexcept>

#include "rt_serial/driver/Port_Discovery.hpp"
#include "server/Device.hpp"
#include "server/Thread_Priority.hpp"
#include "utility/Log_Repeat.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core {
namespace {

/// The reply to a control-port command that comes once the server has begun to shut down.
constexpr const char* shutting_down_reply = "FAILED server is shutting down\r\n>-FAILED\r\n";

// Handlers catch their own failures; should one escape anyway, the thread logs it and
// keeps serving instead of taking the process down.
void run_context(boost::asio::io_context& context, const char* name) {
    for (;;) {
        try {
            context.run();
            return;
        } catch (const std::exception& error) {
            QUORIN_LOG_ERROR("Unhandled exception on ", name, " thread: ", error.what());
        } catch (...) {
            QUORIN_LOG_ERROR("Unhandled exception on ", name, " thread");
        }
    }
}

}  // namespace

Server::Server(Command_Interpreter interpreter, const std::optional<std::string>& config_file)
    : ctrl_work(ctrl_context.get_executor()),
      pdo_work(pdo_context.get_executor()),
      sdo_work(sdo_context.get_executor()),
      config(config_file ? Config::from_file(*config_file) : Config("quorin_cfg.ini")),
      interpreter(interpreter) {
    const auto& control = config.control_service;
    ctrl_service = std::make_unique<CTRL_Service>(
        ctrl_context, [this](const std::string& line) { return run_remote_line(line); },
        CTRL_Service::Settings{control.listen_ip, control.port, max_ctrl_connections, control.allow, control.idle_s});
    pdo_service = std::make_unique<PDO_Service>(pdo_context, config.pdo_service.port_start);
    sdo_service = std::make_unique<SDO_Service>(sdo_context, config.sdo_service.port);
    QUORIN_LOG(INFO, "Quorin core initializing...");
    start_threads();
    if (config.device.reconnect_ms > 0)
        link_watch = std::make_unique<Link_Watch>(std::chrono::milliseconds(config.device.reconnect_ms),
                                                  [this] { return list_devices(); });
}

std::string Server::run_remote_line(const std::string& line) {
    std::string reply;
    if (!command_gate.run([&] { interpreter(line, reply, *this); })) reply = shutting_down_reply;
    return reply;
}

void Server::start_threads() {
    try {
        try {
            pdo_thread = std::thread([this] {
                raise_current_thread_priority();
                run_context(pdo_context, "PDO");
            });
            QUORIN_LOG(INFO, "PDO Service started!");
            sdo_thread = std::thread([this] { run_context(sdo_context, "SDO"); });
            QUORIN_LOG(INFO, "SDO Service started!");
            ctrl_thread = std::thread([this] { run_context(ctrl_context, "Control"); });
            QUORIN_LOG(INFO, "Control Service started!");
        } catch (const std::exception& error) {
            QUORIN_LOG(FATAL, "Error initializing Server: ", error.what());
            throw std::runtime_error(error.what());
        }
    } catch (...) {
        QUORIN_LOG_ERROR("Server initialization failed, cleaning up threads...");
        stop_contexts();
        join_threads();
        sdo_service.reset();
        pdo_service.reset();
        ctrl_service.reset();
        throw;
    }
}

Server::~Server() {
    command_gate.close();
    link_watch.reset();
    unbind_all_devices();

    QUORIN_LOG(INFO, "Control Service stopping...!");
    ctrl_service->close_all_connections();
    ctrl_context.stop();

    QUORIN_LOG(INFO, "PDO Service stopping...!");
    pdo_service->remove_all_channels();
    pdo_context.stop();

    QUORIN_LOG(INFO, "SDO Service stopping...!");
    sdo_service->remove_all_mailboxes();
    sdo_context.stop();

    if (ctrl_thread.joinable()) ctrl_thread.join();
    QUORIN_LOG(INFO, "Control Service stopped!");
    if (pdo_thread.joinable()) pdo_thread.join();
    QUORIN_LOG(INFO, "PDO Service stopped!");
    if (sdo_thread.joinable()) sdo_thread.join();
    QUORIN_LOG(INFO, "SDO Service stopped!");
    Utility::Log_Repeat::flush_all(true);  // what repeated lines were held back when it all stopped

    sdo_service.reset();
    pdo_service.reset();
    ctrl_service.reset();
}

void Server::stop_contexts() {
    ctrl_context.stop();
    pdo_context.stop();
    sdo_context.stop();
}

void Server::join_threads() {
    for (std::thread* thread : {&pdo_thread, &sdo_thread, &ctrl_thread}) {
        if (thread->joinable()) thread->join();
    }
}

std::shared_ptr<Device> Server::get_device(const std::string& name) {
    std::lock_guard lock(devices_mutex);
    const auto found = devices.find(name);
    return found == devices.end() ? nullptr : found->second;
}

bool Server::bind_device(const std::string& name, const std::string& port_name) {
    std::lock_guard lock(devices_mutex);
    if (name.empty() || port_name.empty()) return false;
    for (const auto& [key, device] : devices) {
        if (device->occupied(name, port_name)) return false;
    }
    // The port is opened while the lock is held, so two binds of one port cannot both succeed.
    const auto left = left_ledgers.find(port_name);
    auto device = make_device(name, port_name, left == left_ledgers.end() ? nullptr : left->second.ledger);
    if (left != left_ledgers.end()) {
        // Only once the port has opened: a bind that fails leaves the account as it was.
        left->second.ledger->rebase(left->second.run_time);
        left_ledgers.erase(left);
    }
    devices.emplace(name, std::move(device));
    return true;
}

std::shared_ptr<Device> Server::make_device(const std::string& name, const std::string& port_name,
                                            const std::shared_ptr<EPID_Ledger>& ledger) {
    const bool native_usb = RT_Serial::Driver::is_native_usb_port(port_name);
    const auto baud = static_cast<std::uint32_t>(config.device.baudrate);
    const bool reconnect = config.device.reconnect_ms > 0;
    try {
        return std::make_shared<Device>(name, port_name, baud, native_usb, config.device.realtime_priority, ledger,
                                        reconnect);
    } catch (const std::exception& error) {
        if (!reconnect || !binds_wait_for_ports) throw;
        QUORIN_LOG(WARN, "Device [", name, "] bound to [", port_name, "], which cannot be opened now (",
                   error.what(), "): it is opened once the port is there");
        return std::make_shared<Device>(name, port_name, baud, native_usb, config.device.realtime_priority, ledger,
                                        reconnect, false);
    }
}

bool Server::unbind_device(const std::string& name) {
    std::lock_guard lock(devices_mutex);
    const auto found = devices.find(name);
    if (found == devices.end()) return false;
    Device& device = *found->second;
    device.close();
    left_ledgers.insert_or_assign(device.session.get_port_name(), Left_Ledger{device.sdo_ledger, device.session.run_time()});
    devices.erase(found);
    return true;
}

std::vector<std::shared_ptr<Device>> Server::list_devices() {
    std::lock_guard lock(devices_mutex);
    std::vector<std::shared_ptr<Device>> listed;
    listed.reserve(devices.size());
    for (const auto& [name, device] : devices) listed.push_back(device);
    return listed;
}

void Server::unbind_all_devices() {
    std::lock_guard lock(devices_mutex);
    for (auto& [name, device] : devices) {
        try {
            device->close();
        } catch (const std::exception&) {
            // Logged by the session; the other devices still have to stop.
        }
    }
    devices.clear();
}

}  // namespace Quorin_Core
