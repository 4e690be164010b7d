#include "services/SDO_Service.hpp"

#include "services/SDO_Mailbox.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core {

SDO_Service::SDO_Service(boost::asio::io_context& context, std::uint16_t port)
    : context(context), next_port(port), base_port(port) {}

SDO_Service::~SDO_Service() { remove_all_mailboxes(); }

unsigned short SDO_Service::add_mailbox(const std::shared_ptr<Device>& device) {
    std::lock_guard lock(mailboxes_mutex);
    sweep_orphans();
    if (!device || find_mailbox(device.get(), 0) < mailboxes.size()) return 0;
    const std::uint16_t port = next_port != 0 ? next_port : base_port;
    next_port = static_cast<std::uint16_t>(port + 1);  // used up even if the bind fails
    auto mailbox = std::make_shared<Mailbox>(context, port, device);
    QUORIN_LOG(INFO, "New sdo mailbox on local: ", mailbox->local_address(), ":", mailbox->local_port());
    mailboxes.push_back(mailbox);
    mailbox->open();
    return mailbox->local_port();
}

std::shared_ptr<SDO_Service::Mailbox> SDO_Service::get_mailbox(const Device* device, unsigned short port) {
    std::lock_guard lock(mailboxes_mutex);
    sweep_orphans();
    const std::size_t found = find_mailbox(device, port);
    return found < mailboxes.size() ? mailboxes[found] : nullptr;
}

bool SDO_Service::remove_mailbox(const Device* device, unsigned short port) {
    std::lock_guard lock(mailboxes_mutex);
    const std::size_t found = find_mailbox(device, port);
    if (found >= mailboxes.size()) return false;
    retire(found);
    return true;
}

void SDO_Service::remove_all_mailboxes() {
    std::lock_guard lock(mailboxes_mutex);
    while (!mailboxes.empty()) retire(0);
}

void SDO_Service::retire(std::size_t index) {
    const auto mailbox = mailboxes[index];
    mailbox->destroy();
    mailboxes.erase(mailboxes.begin() + static_cast<std::ptrdiff_t>(index));
}

void SDO_Service::list_mailboxes(std::vector<std::string>& out) {
    std::lock_guard lock(mailboxes_mutex);
    sweep_orphans();
    for (const auto& mailbox : mailboxes) mailbox->list_links(out, true);
}

std::size_t SDO_Service::mailbox_count() {
    std::lock_guard lock(mailboxes_mutex);
    sweep_orphans();
    return mailboxes.size();
}

std::size_t SDO_Service::find_mailbox(const Device* device, unsigned short port) const {
    for (std::size_t i = 0; i < mailboxes.size(); ++i) {
        if (mailboxes[i]->serves(device) || (port != 0 && mailboxes[i]->local_port() == port)) return i;
    }
    return mailboxes.size();
}

void SDO_Service::sweep_orphans() {
    // A link added while its device was being deleted can leave a mailbox behind whose
    // device is gone; nothing would ever drain its queues, so it goes at the next look.
    std::erase_if(mailboxes, [](const std::shared_ptr<Mailbox>& mailbox) {
        if (!mailbox->orphaned()) return false;
        mailbox->destroy();
        QUORIN_LOG(INFO, "Sdo mailbox on local: ", mailbox->local_address(), ":", mailbox->local_port(),
                   " removed, its device is gone");
        return true;
    });
}

}  // namespace Quorin_Core
