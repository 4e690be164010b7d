#include "rt_serial/driver/USB_Identity.hpp"

#include <algorithm>
#include <string>

namespace Quorin_Core::RT_Serial::Driver {

namespace {
constexpr int hexadecimal = 16;
}

bool is_accepted_usb_identity(const USB_Identity& identity) {
    return std::ranges::find(accepted_usb_identities, identity) != accepted_usb_identities.end();
}

std::uint16_t parse_usb_id(std::string_view text) {
    const std::string digits(text.substr(0, usb_id_digits));
    return static_cast<std::uint16_t>(std::stoul(digits, nullptr, hexadecimal));
}

}  // namespace Quorin_Core::RT_Serial::Driver
