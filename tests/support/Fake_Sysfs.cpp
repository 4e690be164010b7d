#include "support/Fake_Sysfs.hpp"

#include <filesystem>
#include <fstream>

namespace Quorin_Test {

namespace fs = std::filesystem;

namespace {

void write_text(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << '\n';
}

// Relative, as sysfs and udev make them, so the tree means the same wherever it lies.
void relative_link(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(fs::relative(target, link.parent_path()), link);
}

}  // namespace

Fake_Sysfs::Fake_Sysfs() : base_dir(fs::canonical(temp.path()).string()) {
    sysfs_roots.sys = base_dir + "/sys";
    sysfs_roots.dev = base_dir + "/dev";
    fs::create_directories(sysfs_roots.sys + "/class/tty");
    fs::create_directories(sysfs_roots.dev);
    write_identity(usb_root_hub, "1d6b", "0002");
}

std::string Fake_Sysfs::port(const std::string& name) const { return sysfs_roots.dev + "/" + name; }

void Fake_Sysfs::write_identity(const std::string& dir, const std::string& vendor,
                                const std::string& product) {
    write_text(fs::path(base_dir) / dir / "idVendor", vendor);
    write_text(fs::path(base_dir) / dir / "idProduct", product);
}

void Fake_Sysfs::add_usb_tty(const std::string& name, const std::string& usb, const std::string& vendor,
                             const std::string& product, bool adapter) {
    const std::string device = std::string(usb_root_hub) + "/" + usb;
    const std::string interface = device + "/" + usb + ":1.0";
    const std::string bus_device = adapter ? interface + "/" + name : interface;
    write_identity(device, vendor, product);
    add_tty(name, bus_device + "/tty/" + name, bus_device);
}

void Fake_Sysfs::add_platform_tty(const std::string& name) {
    add_tty(name, "sys/devices/platform/serial8250/tty/" + name, "sys/devices/platform/serial8250");
}

void Fake_Sysfs::add_virtual_tty(const std::string& name) {
    add_tty(name, "sys/devices/virtual/tty/" + name, "");
}

void Fake_Sysfs::add_tty(const std::string& name, const std::string& tty_dir, const std::string& bus_device) {
    const fs::path base(base_dir);
    write_text(base / tty_dir / "dev", "0:0");
    if (!bus_device.empty()) relative_link(base / bus_device, base / tty_dir / "device");
    relative_link(base / tty_dir, fs::path(sysfs_roots.sys) / "class/tty" / name);
}

void Fake_Sysfs::add_dev_link(const std::string& link, const std::string& target) {
    relative_link(fs::path(sysfs_roots.dev) / target, fs::path(sysfs_roots.dev) / link);
}

}  // namespace Quorin_Test
