#include "services/SDO_Service.hpp"

#include "services/SDO_Mailbox.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core {

using RT_Serial::Control::Session;

// A link added while its device was being deleted can leave a mailbox behind whose device is
// gone; nothing would ever drain its queues, so it goes at the next look.
SDO_Service::SDO_Service(boost::asio::io_context& context, std::uint16_t port)
    : context(context), mailboxes(port, [](const Mailbox& mailbox) {
          QUORIN_LOG(INFO, "Sdo mailbox on local: ", mailbox.local_address(), ":", mailbox.local_port(),
                     " removed, its device is gone");
      }) {}

SDO_Service::~SDO_Service() { remove_all_mailboxes(); }

unsigned short SDO_Service::add_mailbox(const Served_Device& device) {
    if (!device.session) return 0;
    const auto mailbox = mailboxes.add([&](const Mailbox& other) { return other.serves(device.session.get()); },
                                       [&](unsigned short port) {
                                           auto made = std::make_shared<Mailbox>(context, port, device);
                                           QUORIN_LOG(INFO, "New sdo mailbox on local: ", made->local_address(), ":",
                                                      made->local_port());
                                           return made;
                                       });
    return mailbox ? mailbox->local_port() : 0;
}

std::shared_ptr<SDO_Service::Mailbox> SDO_Service::get_mailbox(const Session* session, unsigned short port) {
    return mailboxes.find(session, port);
}

bool SDO_Service::remove_mailbox(const Session* session, unsigned short port) { return mailboxes.remove(session, port); }

void SDO_Service::remove_all_mailboxes() { mailboxes.remove_all(); }

void SDO_Service::list_mailboxes(std::vector<std::string>& out) {
    mailboxes.for_each([&](const Mailbox& mailbox) { mailbox.list_links(out, true); });
}

std::size_t SDO_Service::mailbox_count() { return mailboxes.size(); }

}  // namespace Quorin_Core
