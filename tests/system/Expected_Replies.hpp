#pragma once

#include <string>

// Replies of the command language, byte for byte, shared by the console and TCP tests.
namespace Quorin_Test::Expected {

/// The answer to "help": blocks sorted by command name, bare "\n" line ends.
inline const std::string help_listing =
    "Available commands:\n"
    "[bind]: Create a device and bind to a specified serial port.\nUSAGE: bind <device_name> <port_name>\n\n"
    "[dev]: Device operations.\nUSAGE: dev <device_name> <option> <param>\n"
    "            -d: delete a device\n            -o: open a device\n            -c: close a device\n\n"
    "[diag]: Diagnosis operations.\nUSAGE: diag <name> <option1> <param1> <option2> <param2>...\n"
    "        -dev: device diagnosis\n        -rts: rt-serial diagnosis\n        -pdo: pdo diagnosis\n"
    "        -sdo <id1><id2>...: sdo diagnosis\n        diag -a: server diagnosis\n\n"
    "[help]: Display available commands and their usage.\nUSAGE: help\n\n"
    "[lsbind]: List device binds.\nUSAGE: lsbind\n\n"
    "[lsctrl]: List control connections.\nUSAGE: lsctrl\n\n"
    "[lsdev]: List devices.\nUSAGE: lsdev\n\n"
    "[lspdo]: List pdo channels.\nUSAGE: lspdo\n\n"
    "[lsport]: List available ports.\nUSAGE: lsport\n\n"
    "[lssdo]: List sdo mailboxes.\nUSAGE: lssdo\n\n"
    "[pdo]: PDO operations.\nUSAGE: pdo <device_name> <option> <param>\n"
    "        -o <ip, port>: open a pdo channel\n        -c: close a pdo channel\n"
    "        -e: enable pdo transmission\n        -d: disable pdo transmission\n        -f <freq>: set pdo freq\n"
    "        -f <freq> <tpdo_offset_ns> <rpdo_offset_ns>: set pdo freq, tpdo offset, rpdo offset\n"
    "        pdo -c: close all pdo channels on all devices\n\n"
    "[sdo]: SDO operations.\nUSAGE: sdo <name> <option> <param>\n"
    "        -o <ip, port>: add a sdo link to mailbox\n        -c <ip, port / id>: remove a sdo link from mailbox\n"
    "        sdo -c: remove all sdo mailboxes on all devices\n\n";

/// An unknown name followed by arguments.
inline const std::string unknown_command = ">-UNKNOWN COMMAND\r\n";
/// An unknown name alone, or an empty line: the listing, then the unknown-command line.
inline const std::string unknown_command_with_listing = help_listing + unknown_command;
/// "help" with any argument.
inline const std::string help_wrong_format = "USAGE: help\r\n>-WRONG FORMAT\r\n";

}  // namespace Quorin_Test::Expected
