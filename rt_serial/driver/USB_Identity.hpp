#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace Quorin_Core::RT_Serial::Driver {

/// A USB device's vendor and product identifiers, compared exactly.
struct USB_Identity {
    std::uint16_t vendor_id = 0;   ///< idVendor
    std::uint16_t product_id = 0;  ///< idProduct

    friend bool operator==(const USB_Identity&, const USB_Identity&) = default;
};

/// STMicroelectronics' USB vendor ID.
inline constexpr std::uint16_t st_vendor_id = 0x0483;
/// That vendor's virtual COM port product ID.
inline constexpr std::uint16_t st_virtual_com_product_id = 0x5740;
/// The device's own product ID (a configuration constant of the product).
inline constexpr std::uint16_t device_product_id = 0xA7E0;
/// The device's second product ID, kept accepted alongside the first (a configuration constant).
inline constexpr std::uint16_t device_product_id_alternate = 0xA7E1;

/// The identities of a native USB port; the order does not matter.
inline constexpr std::array<USB_Identity, 3> accepted_usb_identities{{
    {st_vendor_id, st_virtual_com_product_id},
    {st_vendor_id, device_product_id},
    {st_vendor_id, device_product_id_alternate},
}};

/// Most characters of an identifier text that are read.
inline constexpr std::size_t usb_id_digits = 4;

/// True when `identity` is one of `accepted_usb_identities`.
bool is_accepted_usb_identity(const USB_Identity& identity);

/// What a Windows device instance identifier of a USB device begins with.
inline constexpr std::string_view usb_instance_prefix = "USB\\";
/// What comes before the vendor and the product identifier in an instance identifier.
inline constexpr std::string_view instance_vendor_marker = "VID_";
inline constexpr std::string_view instance_product_marker = "PID_";

/// The identity in a Windows device instance identifier such as "USB\\VID_0483&PID_5740\\1":
/// nothing unless it begins with "USB\\" and holds both "VID_" and "PID_"; up to four
/// characters after each are read by parse_usb_id, which throws when they hold no number.
std::optional<USB_Identity> usb_identity_from_instance_id(std::string_view instance_id);

/// Reads up to the first four characters of `text` as hexadecimal (standard unsigned conversion,
/// so "483" is 0x483 and "A7e0" is 0xa7e0), taken as 16 bits. Throws std::invalid_argument
/// when no number can be read.
std::uint16_t parse_usb_id(std::string_view text);

}  // namespace Quorin_Core::RT_Serial::Driver
