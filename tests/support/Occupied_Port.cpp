#include "support/Occupied_Port.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace Quorin_Test {

int Occupied_Port::listen_on(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

Occupied_Port::Occupied_Port(std::uint16_t port) : fd(listen_on(port)), held_port(port) {
    if (fd < 0) throw std::runtime_error("cannot hold port " + std::to_string(port));
}

Occupied_Port::~Occupied_Port() {
    if (fd >= 0) ::close(fd);
}

std::unique_ptr<Occupied_Port> Occupied_Port::try_hold(std::uint16_t port) {
    const int fd = listen_on(port);
    if (fd < 0) return nullptr;
    return std::unique_ptr<Occupied_Port>(new Occupied_Port(fd, port));
}

}  // namespace Quorin_Test
