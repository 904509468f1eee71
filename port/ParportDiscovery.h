#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

inline const std::filesystem::path Parport_Procfs = "/proc/sys/dev/parport";

// One parallel port as the kernel's parport driver lists it.
struct Parport_Entry {
    std::string name;          // parport0
    unsigned base_address = 0; // the data register, 888 for 0x378
    std::string active_device; // who holds the port now; "none" when free
    std::filesystem::path device() const { return "/dev/" + name; }
};

// Every port under the procfs root; an entry whose base address cannot be read
// is left out. Empty when the parport driver is not loaded.
std::vector<Parport_Entry> List_Parports(const std::filesystem::path& root = Parport_Procfs);

// Who holds the named port now ("none" when free); nothing when unknown.
std::optional<std::string> Active_Device(const std::string& name,
                                         const std::filesystem::path& root = Parport_Procfs);
