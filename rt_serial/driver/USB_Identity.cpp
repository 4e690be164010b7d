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

std::optional<USB_Identity> usb_identity_from_instance_id(std::string_view instance_id) {
    const auto vendor_at = instance_id.find(instance_vendor_marker);
    const auto product_at = instance_id.find(instance_product_marker);
    if (!instance_id.starts_with(usb_instance_prefix) || vendor_at == std::string_view::npos ||
        product_at == std::string_view::npos) {
        return std::nullopt;
    }
    return USB_Identity{parse_usb_id(instance_id.substr(vendor_at + instance_vendor_marker.size())),
                        parse_usb_id(instance_id.substr(product_at + instance_product_marker.size()))};
}

}  // namespace Quorin_Core::RT_Serial::Driver
